#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "drv/CaptureFile.h"

namespace zorn {
namespace orbitane {
namespace sim {

// What the base sent after one request of a capture, up to the next
// request: answer frames (good or damaged) and stray bytes, each with its
// time after the request.
struct ReplayExchange {
    struct Part {
        int64_t afterNs = 0;
        std::vector<uint8_t> bytes;
    };
    std::string request;  // the request as the log describes it
    std::vector<uint8_t> args;  // its argument bytes (after the request code)
    std::vector<Part> parts;
};

// Captures past this size are refused unread: the whole capture is held in
// memory while it is replayed (several times its size once decoded).
constexpr size_t kMaxCaptureFileBytes = 64 * 1024 * 1024;

// A capture (orbitane_console --capture) as the base's side of it: for
// every request code, what followed each request of that code, in order.
class ReplayScript {
public:
    // False with `error` set for a file that is no usable capture or is
    // larger than kMaxCaptureFileBytes.
    static bool load(const std::string& path, ReplayScript& out, std::string& error);
    static ReplayScript fromRecords(const std::vector<drv::CaptureRecord>& records);

    // The exchanges of one request code, oldest first (null: none).
    const std::vector<ReplayExchange>* exchanges(uint8_t code) const;
    size_t requestCount() const { return requests_; }

private:
    std::map<uint8_t, std::vector<ReplayExchange>> byCode_;
    size_t requests_ = 0;
};

// One host's way through a script. A request takes the first exchange,
// after the last one it took of its kind, whose request has the same code
// and the same argument bytes (the host-information answer, whose
// arguments describe the host, matches by its code alone); the exchanges it
// passes over are not taken later. A request that finds none has left the
// capture.
class ReplayCursor {
public:
    explicit ReplayCursor(const ReplayScript* script = nullptr) : script_(script) {}
    bool active() const { return script_ != nullptr; }
    // The exchange for a request of `code` with `args`, or null when the
    // capture holds none; `why` then says so ("it holds no further
    // request of this kind", "its next one is setMotor left=100 ...").
    const ReplayExchange* next(uint8_t code, const std::vector<uint8_t>& args, std::string& why);
    // Back to the start (a new host session on the serial line).
    void restart() { used_.clear(); }

private:
    const ReplayScript* script_;
    std::map<uint8_t, size_t> used_;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
