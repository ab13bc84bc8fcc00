#pragma once

// The traffic trace: a watcher of the link that shows every byte, frame
// by frame, on the way. Three views, each optional:
// - the hex dump of every frame written and every chunk read (-t), under
//   the log source of the trace;
// - one decoded line per frame on standard error (--decode; a JSON object
//   per line with --json), naming what the answer rule made of each
//   received frame and what the receiver skipped;
// - a capture file of every byte both ways (--capture): frames, rejected
//   frames, and skipped bytes as records of their own.
// Nothing here waits on the medium or the disk: lines go through the
// output queue and packets through the capture's own writer.

#include <chrono>
#include <memory>
#include <string>

#include "drv/CaptureFile.h"
#include "drv/FrameDecoder.h"
#include "net/LinkObserver.h"

namespace zorn {
namespace orbitane {
namespace test {

struct TraceSettings {
    bool hexDump = true;
    bool textColumn = false;  // each dump line also as text
    bool decode = false;
    bool json = false;
    std::shared_ptr<zorn::drv::CaptureWriter> capture;
};

class TrafficTrace : public zorn::net::LinkObserver {
public:
    explicit TrafficTrace(TraceSettings settings);

    void onSent(const zorn::net::SentFrame& frame) override;
    void onRead(const uint8_t* bytes, size_t size, zorn::net::TimePoint at) override;
    void onReceived(const zorn::net::ReceivedFrame& frame) override;

    // Writes the hex dump of `count` bytes to standard output (standard
    // error with --json or --csv): a tab before every 16 bytes, "%02x " per
    // byte, one more blank after every fourth byte, a line feed after every
    // 16th and after the last. With `textColumn` each line also shows its
    // bytes as text, between bars after the hex.
    static void dumpBytes(const uint8_t* data, size_t count, bool textColumn = false);

    const TraceSettings& settings() const { return settings_; }

private:
    // One decoded line: the text after the time and direction arrow, or
    // with --json the object with its `trace` kind, time and direction.
    void emit(zorn::net::TimePoint at, bool sent, const std::string& kind, const std::string& text,
              const zorn::drv::DecodedFrame* decoded, const std::string& extraName = std::string(),
              const std::string& extraValue = std::string(), double rttMs = -1);
    void decodeReceived(const zorn::net::ReceivedFrame& frame);

    TraceSettings settings_;
    const zorn::net::TimePoint start_;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
