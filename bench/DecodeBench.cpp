// Framing throughput: Framer::push over a realistic stream of answers,
// against a pass that only XORs the same bytes.

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "net/Framer.h"

using namespace zorn::net;

namespace bench {
namespace {

// The size of the reads the stream is framed in: what a busy line hands
// over at a time.
constexpr size_t CHUNK = 1024;

// The stream the link frames from a busy base: mostly short answers
// (status, readings, records), some synchronisation-sized frames and a few
// large ones (configuration blocks) in 16-bit-length frames.
struct DecodeStream {
    std::vector<uint8_t> bytes;
    uint64_t frames = 0;
    uint64_t payloadBytes = 0;
};

// Payload size of the next frame of the mix.
size_t nextPayloadSize(std::mt19937& random) {
    const uint32_t pick = random() % 100;
    if (pick < 60) return 2;                        // status-sized answer
    if (pick < 80) return 8 + random() % 17;        // readings
    if (pick < 92) return 44;                       // a record
    if (pick < 97) return 64;                       // synchronisation-sized
    return 512 + random() % 3585;                   // configuration block
}

DecodeStream buildStream(size_t atLeast) {
    DecodeStream s;
    std::mt19937 random(20240607u);
    std::vector<uint8_t> frame(frameSize(FRAME_MAX_LENGTH - 1));
    while (s.bytes.size() < atLeast) {
        const size_t payload = nextPayloadSize(random);
        std::vector<uint8_t> data(payload);
        for (uint8_t& b : data) b = static_cast<uint8_t>(random());
        const size_t size = encodeFrame(ANS_OK, data.data(), payload, frame.data());
        s.bytes.insert(s.bytes.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(size));
        ++s.frames;
        s.payloadBytes += payload;
    }
    return s;
}

// Counts what the framer delivers, the way the link looks at each event.
class FrameCounter : public FramerSink {
public:
    uint64_t good = 0;
    uint64_t bad = 0;
    uint64_t skipped = 0;
    uint64_t payloadBytes = 0;
    void onFramerEvent(const FramerEvent& event) override {
        switch (event.kind) {
            case FramerEvent::Kind::Frame:
                ++good;
                payloadBytes += event.payloadSize;
                break;
            case FramerEvent::Kind::Rejected: ++bad; break;
            case FramerEvent::Kind::Skipped: skipped += event.size; break;
        }
    }
};

// A digest of everything delivered: each frame whole (kind, command,
// payload, every byte), and skipped bytes one by one, since where a run of
// noise is cut in two depends on where the reads end.
class FrameDigest : public FramerSink {
public:
    uint64_t value = 1469598103934665603ull;
    uint64_t frames = 0;
    uint64_t skipped = 0;
    void onFramerEvent(const FramerEvent& event) override {
        if (event.kind == FramerEvent::Kind::Skipped) {
            for (size_t i = 0; i < event.size; ++i) {
                mix(0x100);
                mix(event.bytes[i]);
            }
            skipped += event.size;
            return;
        }
        mix(event.kind == FramerEvent::Kind::Frame ? 0x200 : 0x300);
        mix(event.hasCommand ? 0x400u + event.cmd : 0x500u);
        mix(static_cast<uint32_t>(event.payloadSize));
        for (size_t i = 0; i < event.payloadSize; ++i) mix(event.payload[i]);
        for (size_t i = 0; i < event.size; ++i) mix(event.bytes[i]);
        ++frames;
    }

private:
    void mix(uint32_t v) {
        value ^= v;
        value *= 1099511628211ull;
    }
};

// Frames the stream in chunks of `chunk` bytes and returns the digest of
// what came out; `framer` keeps the byte accounting.
FrameDigest digestOf(const std::vector<uint8_t>& bytes, size_t chunk, Framer& framer) {
    FrameDigest digest;
    for (size_t off = 0; off < bytes.size(); off += chunk)
        framer.push(bytes.data() + off, std::min(chunk, bytes.size() - off), Arrival{}, digest);
    return digest;
}

// Framing in chunks must deliver exactly what framing byte by byte
// delivers, wherever the chunk boundaries fall, and account for every byte;
// the stream also carries a frame with a wrong checksum and some noise
// between frames.
bool chunkedFramingMatchesBytewise(const std::vector<uint8_t>& stream, std::string& error) {
    std::vector<uint8_t> bytes(stream.begin(),
                               stream.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(stream.size(), 200000)));
    const uint8_t noisy[] = {0xFF, 0x00, 0x10, 0x03, 0x02, 0x50, 0x03, 0x43, 0x77, 0x10, 0x01, 0x05, 0x14};
    bytes.insert(bytes.begin() + 1000, noisy, noisy + sizeof noisy);
    Framer bytewise;
    const FrameDigest reference = digestOf(bytes, 1, bytewise);
    for (size_t chunk : {size_t(3), size_t(64), size_t(1024), size_t(4093), size_t(65535), bytes.size()}) {
        Framer framer;
        const FrameDigest d = digestOf(bytes, chunk, framer);
        if (d.value != reference.value || d.frames != reference.frames || d.skipped != reference.skipped) {
            error = "framing in " + std::to_string(chunk) + "-byte chunks differs from framing byte by byte";
            return false;
        }
        if (framer.bytesIn() != bytes.size() ||
            framer.framedBytes() + framer.rejectedBytes() + framer.skippedBytes() + framer.pendingBytes() !=
                framer.bytesIn()) {
            error = "the framer's byte accounting does not add up in " + std::to_string(chunk) + "-byte chunks";
            return false;
        }
    }
    return true;
}

// The checksum work alone: one XOR per byte, in the same chunks. Kept a
// byte-serial loop, so that the ratio compares against the least per-byte
// work a framer must do rather than against vector width.
#if defined(__clang__)
__attribute__((noinline)) uint8_t xorPass(const uint8_t* data, size_t size, size_t chunk) {
    uint8_t cs = 0;
    for (size_t off = 0; off < size; off += chunk) {
        size_t n = std::min(chunk, size - off);
#pragma clang loop vectorize(disable) interleave(disable)
        for (size_t i = 0; i < n; ++i) cs ^= data[off + i];
    }
    return cs;
}
#else
__attribute__((noinline, optimize("no-tree-vectorize", "no-unroll-loops"))) uint8_t xorPass(const uint8_t* data,
                                                                                            size_t size, size_t chunk) {
    uint8_t cs = 0;
    for (size_t off = 0; off < size; off += chunk) {
        size_t n = std::min(chunk, size - off);
        for (size_t i = 0; i < n; ++i) cs ^= data[off + i];
    }
    return cs;
}
#endif

double threadCpuSeconds() {
    timespec ts;
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void framePass(Framer& framer, const std::vector<uint8_t>& bytes, size_t chunk, FramerSink& sink) {
    const uint8_t* data = bytes.data();
    const Arrival arrival;
    for (size_t off = 0; off < bytes.size(); off += chunk)
        framer.push(data + off, std::min(chunk, bytes.size() - off), arrival, sink);
}

void BM_FrameDecode(benchmark::State& state) {
    static const DecodeStream stream = buildStream(1u << 20);
    std::string error;
    if (!chunkedFramingMatchesBytewise(stream.bytes, error)) {
        recordFigureError("decode", error);
        state.SkipWithError(error.c_str());
        return;
    }

    Framer framer;
    FrameCounter counter;

    // Both passes are pure computation on this thread, so they are timed in
    // the thread's CPU time: on a shared machine, wall time would also count
    // the time the thread was waiting for a processor.
    double decodeSeconds = 0.0;
    double xorSeconds = 0.0;
    uint64_t passes = 0;
    uint8_t sink = 0;
    for (auto _ : state) {
        const double t0 = threadCpuSeconds();
        framePass(framer, stream.bytes, CHUNK, counter);
        const double t1 = threadCpuSeconds();
        sink ^= xorPass(stream.bytes.data(), stream.bytes.size(), CHUNK);
        const double t2 = threadCpuSeconds();
        benchmark::DoNotOptimize(sink);
        decodeSeconds += t1 - t0;
        xorSeconds += t2 - t1;
        state.SetIterationTime(t1 - t0);
        ++passes;
    }
    if (counter.bad != 0 || counter.skipped != 0 || counter.good != stream.frames * passes ||
        counter.payloadBytes != stream.payloadBytes * passes || framer.midFrame()) {
        std::string e = "the framer delivered " + std::to_string(counter.good) + " frames (" +
                        std::to_string(counter.bad) + " rejected, " + std::to_string(counter.skipped) +
                        " bytes skipped), expected " + std::to_string(stream.frames * passes);
        recordFigureError("decode", e);
        state.SkipWithError(e.c_str());
        return;
    }
    const double mb = static_cast<double>(stream.bytes.size()) * static_cast<double>(passes) / 1e6;
    const double decodeMBps = mb / decodeSeconds;
    const double xorMBps = mb / xorSeconds;
    state.SetBytesProcessed(static_cast<int64_t>(stream.bytes.size() * passes));
    state.counters["decode_MBps"] = decodeMBps;
    state.counters["xor_MBps"] = xorMBps;
    state.counters["ratio"] = decodeMBps / xorMBps;
    state.counters["frames"] = static_cast<double>(stream.frames);
    recordFigure("decode", decodeMBps, xorMBps,
                 std::to_string(stream.bytes.size()) + " bytes, " + std::to_string(stream.frames) +
                     " frames per pass through Framer::push in " + std::to_string(CHUNK) +
                     "-byte chunks, thread CPU time");
}

BENCHMARK(BM_FrameDecode)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace
}  // namespace bench
