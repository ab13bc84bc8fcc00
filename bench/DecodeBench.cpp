// Frame decode throughput: InterchipProtocol::decode over a realistic stream
// of answers, against a pass that only XORs the same bytes.

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "net/Endpoint.h"
#include "net/InterchipProtocol.h"
#include "net/TCPChannel.h"

using namespace zorn::net;

namespace bench {
namespace {

// The stream the receive thread decodes from a busy base: mostly short
// answers (status, readings, records), some synchronisation-sized frames and
// a few large ones (configuration blocks) in 16-bit-length frames.
struct DecodeStream {
    std::vector<uint8_t> bytes;
    uint64_t frames = 0;
    uint64_t payloadBytes = 0;
};

// Payload size of the next frame of the mix.
int32_t nextPayloadSize(std::mt19937& random) {
    const uint32_t pick = random() % 100;
    if (pick < 60) return 2;                                        // status-sized answer
    if (pick < 80) return 8 + static_cast<int32_t>(random() % 17);  // readings
    if (pick < 92) return 44;                                       // a record
    if (pick < 97) return 64;                                       // synchronisation-sized
    return 512 + static_cast<int32_t>(random() % 3585);             // configuration block
}

DecodeStream buildStream(size_t atLeast) {
    DecodeStream s;
    InterchipProtocol encoder;
    std::mt19937 random(20240607u);
    std::vector<uint8_t> frame(70000);
    while (s.bytes.size() < atLeast) {
        const int32_t payload = nextPayloadSize(random);
        std::vector<uint8_t> data(static_cast<size_t>(payload));
        for (uint8_t& b : data) b = static_cast<uint8_t>(random());
        MessagePtr m = std::make_shared<Message>(ANS_OK, data.data(), payload);
        uint32_t size = static_cast<uint32_t>(frame.size());
        encoder.encode(m, frame.data(), size);
        s.bytes.insert(s.bytes.end(), frame.begin(), frame.begin() + size);
        ++s.frames;
        s.payloadBytes += static_cast<uint64_t>(payload);
    }
    return s;
}

// Counts what the protocol delivers, the way the channel's relay listens.
class FrameCounter {
public:
    uint64_t good = 0;
    uint64_t bad = 0;
    uint64_t payloadBytes = 0;
    int onMessage(uint32_t, MessageDispatcher*, MessagePtr& m) {
        ++good;
        payloadBytes += m->payloadLength();
        return 0;
    }
    int onBadFrame(uint32_t, MessageDispatcher*, MessagePtr&) {
        ++bad;
        return 0;
    }
};

// A digest of everything delivered: event, header fields and payload.
class FrameDigest {
public:
    uint64_t value = 1469598103934665603ull;
    uint64_t frames = 0;
    int onEvent(uint32_t event, MessageDispatcher*, MessagePtr& m) {
        mix(event);
        mix(m->flags);
        mix(m->length);
        mix(m->cmd);
        mix(m->checksum);
        for (uint8_t b : m->payload) mix(b);
        ++frames;
        return 0;
    }

private:
    void mix(uint32_t v) {
        value ^= v;
        value *= 1099511628211ull;
    }
};

// Decodes the stream in chunks of `chunk` bytes (0: one decodeByte call per
// byte) and returns the digest of what came out.
FrameDigest digestOf(const std::vector<uint8_t>& bytes, size_t chunk) {
    InterchipProtocol protocol;
    FrameDigest digest;
    protocol.addHandler(EVT_MESSAGE, &digest, &FrameDigest::onEvent);
    protocol.addHandler(EVT_BAD_FRAME, &digest, &FrameDigest::onEvent);
    if (chunk == 0) {
        for (uint8_t b : bytes) protocol.decodeByte(b);
    } else {
        for (size_t off = 0; off < bytes.size(); off += chunk)
            protocol.decode(bytes.data() + off, 0, static_cast<uint16_t>(std::min(chunk, bytes.size() - off)));
    }
    return digest;
}

// Whole-chunk decoding must deliver exactly what byte-by-byte decoding
// delivers, wherever the chunk boundaries fall; the stream also carries a
// frame with a wrong checksum and some noise between frames.
bool chunkedDecodeMatchesBytewise(const std::vector<uint8_t>& stream, std::string& error) {
    std::vector<uint8_t> bytes(stream.begin(), stream.begin() + std::min<size_t>(stream.size(), 200000));
    const uint8_t noisy[] = {0xFF, 0x00, 0x10, 0x03, 0x02, 0x50, 0x03, 0x43, 0x77, 0x10, 0x01, 0x05, 0x14};
    bytes.insert(bytes.begin() + 1000, noisy, noisy + sizeof noisy);
    const FrameDigest reference = digestOf(bytes, 0);
    for (size_t chunk : {size_t(1), size_t(3), size_t(64), size_t(1024), size_t(4093), size_t(65535)}) {
        FrameDigest d = digestOf(bytes, chunk);
        if (d.value != reference.value || d.frames != reference.frames) {
            error = "decoding in " + std::to_string(chunk) + "-byte chunks differs from byte-by-byte decoding";
            return false;
        }
    }
    return true;
}

// The checksum work alone: one XOR per byte, in the same chunks. Kept a
// byte-serial loop, like the decoder's own pass over the bytes, so that the
// ratio compares per-byte work rather than vector width.
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

void decodePass(InterchipProtocol& protocol, const std::vector<uint8_t>& bytes, size_t chunk) {
    const uint8_t* data = bytes.data();
    for (size_t off = 0; off < bytes.size(); off += chunk) {
        size_t n = std::min(chunk, bytes.size() - off);
        protocol.decode(data + off, 0, static_cast<uint16_t>(n));
    }
}

void BM_FrameDecode(benchmark::State& state) {
    static const DecodeStream stream = buildStream(1u << 20);
    const size_t chunk = TCPChannel::CHUNK_SIZE;
    std::string error;
    if (!chunkedDecodeMatchesBytewise(stream.bytes, error)) {
        recordFigureError("decode", error);
        state.SkipWithError(error.c_str());
        return;
    }

    InterchipProtocol protocol;
    FrameCounter counter;
    protocol.addHandler(EVT_MESSAGE, &counter, &FrameCounter::onMessage);
    protocol.addHandler(EVT_BAD_FRAME, &counter, &FrameCounter::onBadFrame);

    // Both passes are pure computation on this thread, so they are timed in
    // the thread's CPU time: on a shared machine, wall time would also count
    // the time the thread was waiting for a processor.
    double decodeSeconds = 0.0;
    double xorSeconds = 0.0;
    uint64_t passes = 0;
    uint8_t sink = 0;
    for (auto _ : state) {
        double t0 = threadCpuSeconds();
        decodePass(protocol, stream.bytes, chunk);
        double t1 = threadCpuSeconds();
        sink ^= xorPass(stream.bytes.data(), stream.bytes.size(), chunk);
        double t2 = threadCpuSeconds();
        benchmark::DoNotOptimize(sink);
        decodeSeconds += t1 - t0;
        xorSeconds += t2 - t1;
        state.SetIterationTime(t1 - t0);
        ++passes;
    }
    if (counter.bad != 0 || counter.good != stream.frames * passes ||
        counter.payloadBytes != stream.payloadBytes * passes) {
        std::string e = "decoder delivered " + std::to_string(counter.good) + " frames (" +
                        std::to_string(counter.bad) + " bad), expected " + std::to_string(stream.frames * passes);
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
                     " frames per pass, 1024-byte chunks, thread CPU time");
}

BENCHMARK(BM_FrameDecode)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace
}  // namespace bench
