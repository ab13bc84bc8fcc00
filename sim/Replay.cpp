#include "sim/Replay.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "drv/ControlBus.h"
#include "drv/FrameDecoder.h"
#include "sim/BoundedFile.h"

namespace zorn {
namespace orbitane {
namespace sim {

namespace {

// The request code of a captured host frame, or -1 when it is no request
// (a synchronisation message, a damaged frame).
int requestCodeOf(const std::vector<uint8_t>& frame, std::vector<uint8_t>& payload) {
    if (frame.size() < 4 || (frame[0] != 0x10 && frame[0] != 0x50)) return -1;
    const size_t header = frame[0] == 0x50 ? 3 : 2;
    const size_t length = frame[0] == 0x50 ? (frame[1] | frame[2] << 8) : frame[1];
    if (length < 2 || frame.size() != header + length + 1) return -1;
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < frame.size(); ++i) sum ^= frame[i];
    if (sum != frame.back() || frame[header] != drv::CMD_CONTROL_BUS) return -1;
    payload.assign(frame.begin() + static_cast<long>(header) + 1, frame.end() - 1);
    return payload[0];
}

// The capture reader takes a path: the bytes, read within their bound,
// are handed to it as an anonymous in-memory file, so that what it reads is
// exactly what was checked. Its messages name `path`. `bytes` is emptied
// once copied, so that the capture is not held twice while it is decoded.
bool readCaptureBytes(std::string& bytes, const std::string& path, std::vector<drv::CaptureRecord>& out,
                      std::string& error) {
    const int fd = ::memfd_create("orbitane-replay", MFD_CLOEXEC);
    if (fd < 0) {
        error = path + ": cannot hold the capture in memory: " + std::strerror(errno);
        return false;
    }
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = path + ": cannot hold the capture in memory: " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        written += static_cast<size_t>(n);
    }
    std::string().swap(bytes);
    const std::string inMemory = "/proc/self/fd/" + std::to_string(fd);
    const bool read = drv::readCapture(inMemory, out, error);
    ::close(fd);
    for (size_t at = error.find(inMemory); at != std::string::npos; at = error.find(inMemory, at + path.size())) {
        error.replace(at, inMemory.size(), path);
    }
    return read;
}

}  // namespace

bool ReplayScript::load(const std::string& path, ReplayScript& out, std::string& error) {
    std::string bytes;
    if (!readBoundedFile(path, kMaxCaptureFileBytes, bytes, error)) return false;
    std::vector<drv::CaptureRecord> records;
    if (!readCaptureBytes(bytes, path, records, error)) return false;
    out = fromRecords(records);
    if (out.requestCount() == 0) {
        error = path + ": the capture holds no request";
        return false;
    }
    return true;
}

ReplayScript ReplayScript::fromRecords(const std::vector<drv::CaptureRecord>& records) {
    ReplayScript script;
    ReplayExchange* current = nullptr;
    int64_t requestNs = 0;
    for (const drv::CaptureRecord& record : records) {
        if (record.direction == drv::CAPTURE_HOST_TO_BASE) {
            std::vector<uint8_t> payload;
            const int code = requestCodeOf(record.bytes, payload);
            if (code < 0) continue;
            std::vector<ReplayExchange>& list = script.byCode_[static_cast<uint8_t>(code)];
            list.emplace_back();
            current = &list.back();
            current->request = drv::decodeRequest(drv::CMD_CONTROL_BUS, payload.data(), payload.size()).text;
            current->args.assign(payload.begin() + 1, payload.end());
            requestNs = record.timeNs;
            ++script.requests_;
        } else if (current != nullptr) {
            // Bytes before the first request answer nothing the host asked.
            const int64_t after = record.timeNs > requestNs ? record.timeNs - requestNs : 0;
            current->parts.push_back(ReplayExchange::Part{after, record.bytes});
        }
    }
    return script;
}

const std::vector<ReplayExchange>* ReplayScript::exchanges(uint8_t code) const {
    auto it = byCode_.find(code);
    return it == byCode_.end() ? nullptr : &it->second;
}

const ReplayExchange* ReplayCursor::next(uint8_t code, const std::vector<uint8_t>& args, std::string& why) {
    if (script_ == nullptr) return nullptr;
    const std::vector<ReplayExchange>* list = script_->exchanges(code);
    if (list == nullptr) {
        why = "it holds no request of this kind";
        return nullptr;
    }
    size_t& used = used_[code];
    if (used >= list->size()) {
        why = "it holds no further request of this kind";
        return nullptr;
    }
    // The host's information describes the host, whichever it is.
    const bool anyArguments = code == drv::REQ_ANSWER_GET_INFO;
    for (size_t i = used; i < list->size(); ++i) {
        if (anyArguments || (*list)[i].args == args) {
            used = i + 1;
            return &(*list)[i];
        }
    }
    why = "its arguments differ: the capture's next one is " + (*list)[used].request;
    return nullptr;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
