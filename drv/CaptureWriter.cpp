#include "drv/CaptureWriter.h"
#include "drv/CaptureFile.h"
#include "drv/CaptureSink.h"
#include "log/SignalFreeThread.h"

#include <errno.h>
#include <pcap/pcap.h>
#include <string.h>
#include <sys/time.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace zorn {
namespace drv {

namespace {

// Room for the largest frame (a 16-bit length, its header and checksum) and
// the direction byte.
constexpr int kSnapLength = 65536 + 8;
// What a packet costs in the file besides its bytes: pcap's record header.
constexpr size_t kRecordHeader = 16;
static_assert(kSnapLength + kRecordHeader <= CaptureSink::BUFFER_SIZE, "a whole packet fits in the stream's buffer");

struct Packet {
    timeval stamp;
    std::vector<uint8_t> bytes;  // the direction byte, then the frame's
};

}  // namespace

struct CaptureWriter::State {
    std::unique_ptr<CaptureSink> sink;
    pcap_t* pcap = nullptr;
    pcap_dumper_t* dumper = nullptr;  // writes to sink's FILE, closes it
    std::thread writer;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Packet> queue;
    size_t queued = 0;       // bytes queued or being written
    bool accepting = false;  // open, and neither stopped nor closing
    bool closing = false;
    bool writerDone = false;
    std::string failure;

    // Under the mutex. The first reason stands.
    void stop(const std::string& reason) {
        accepting = false;
        if (failure.empty()) failure = "capture stopped: " + reason;
    }
    bool writeBatch(const std::deque<Packet>& batch);
    void writeQueued();
};

// Writes a batch and flushes it. The stream is flushed before a packet
// that would not fit in its buffer, so every write to the file ends on a
// packet's end and a capture killed in the middle stays readable.
bool CaptureWriter::State::writeBatch(const std::deque<Packet>& batch) {
    size_t buffered = 0;
    for (const Packet& packet : batch) {
        const size_t record = packet.bytes.size() + kRecordHeader;
        if (buffered + record > CaptureSink::BUFFER_SIZE && buffered > 0) {
            if (pcap_dump_flush(dumper) != 0) return false;
            buffered = 0;
        }
        pcap_pkthdr header{};
        header.ts = packet.stamp;
        header.caplen = header.len = static_cast<bpf_u_int32>(packet.bytes.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, packet.bytes.data());
        buffered += record;
    }
    // A failed write may leave nothing to flush: the sink knows.
    return pcap_dump_flush(dumper) == 0 && sink->error() == 0;
}

// The writer thread: takes everything queued, writes it and flushes, so
// the file holds every whole packet soon after it was queued.
void CaptureWriter::State::writeQueued() {
    std::unique_lock<std::mutex> lock(mutex);
    std::deque<Packet> batch;
    bool written = true;
    while (written) {
        changed.wait(lock, [this] { return !queue.empty() || closing; });
        if (queue.empty()) break;  // closing, with all written
        batch.swap(queue);
        lock.unlock();
        written = writeBatch(batch);
        size_t bytes = 0;
        for (const Packet& packet : batch) bytes += packet.bytes.size() + kRecordHeader;
        batch.clear();
        lock.lock();
        queued -= bytes;
        if (!written) {
            stop(strerror(sink->error() != 0 ? sink->error() : EIO));
            queue.clear();
            queued = 0;
        }
    }
    lock.unlock();
    // A failed file gets no second try: closing it must not wait for room.
    if (!written) sink->giveUp();
    pcap_dump_close(dumper);
    lock.lock();
    writerDone = true;
    changed.notify_all();
}

CaptureWriter::CaptureWriter() = default;

CaptureWriter::~CaptureWriter() { close(); }

bool CaptureWriter::open(const std::string& path, std::string& error) {
    close();
    state_.reset();  // a new file, with no failure yet
    auto state = std::make_unique<State>();
    state->sink = CaptureSink::open(path, error);
    if (!state->sink) return false;
    state->pcap = pcap_open_dead(CAPTURE_LINK_TYPE, kSnapLength);
    state->dumper = state->pcap != nullptr ? pcap_dump_fopen(state->pcap, state->sink->file()) : nullptr;
    if (state->dumper == nullptr) {
        error = state->pcap != nullptr ? pcap_geterr(state->pcap) : "cannot set up a capture";
        std::fclose(state->sink->file());
        if (state->pcap != nullptr) pcap_close(state->pcap);
        return false;
    }
    // The header goes out at once: a capture killed before its first packet
    // is still a valid, empty capture, and a file that cannot take even the
    // header (/dev/full) is refused before anything is sent.
    if (pcap_dump_flush(state->dumper) != 0 || state->sink->error() != 0) {
        const int reason = state->sink->error() != 0 ? state->sink->error() : EIO;
        error = reason == EAGAIN ? "the FIFO " + path + " is full: its reader does not read"
                                 : path + ": " + strerror(reason);
        state->sink->giveUp();
        pcap_dump_close(state->dumper);
        pcap_close(state->pcap);
        return false;
    }
    state->sink->allowWaits();
    state->accepting = true;
    State* s = state.get();
    state->writer = nivo::system::util::startSignalFreeThread([s] { s->writeQueued(); });
    state_ = std::move(state);
    return true;
}

void CaptureWriter::write(uint8_t direction, const uint8_t* data, size_t size) {
    if (!state_) return;
    Packet packet;
    gettimeofday(&packet.stamp, nullptr);
    packet.bytes.reserve(size + 1);
    packet.bytes.push_back(direction);
    packet.bytes.insert(packet.bytes.end(), data, data + size);
    State& s = *state_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.accepting) return;
        const size_t cost = packet.bytes.size() + kRecordHeader;
        if (s.queued + cost > QUEUE_LIMIT) {
            s.stop("the file could not keep up");
            return;
        }
        s.queued += cost;
        s.queue.push_back(std::move(packet));
    }
    s.changed.notify_all();
}

void CaptureWriter::close(std::chrono::milliseconds bound) {
    if (!state_ || !state_->writer.joinable()) return;
    State& s = *state_;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        s.accepting = false;
        s.closing = true;
        s.changed.notify_all();
        if (!s.changed.wait_for(lock, bound, [&s] { return s.writerDone; })) {
            s.stop("the file did not take the last packets within " + std::to_string(bound.count()) + " ms");
            lock.unlock();
            s.sink->giveUp();  // ends the writer's wait for room
        }
    }
    s.writer.join();
    pcap_close(s.pcap);
    s.pcap = nullptr;
    s.sink.reset();
}

bool CaptureWriter::failed() const {
    if (!state_) return false;
    std::lock_guard<std::mutex> lock(state_->mutex);
    return !state_->failure.empty();
}

std::string CaptureWriter::failure() const {
    if (!state_) return std::string();
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->failure;
}

}  // namespace drv
}  // namespace zorn
