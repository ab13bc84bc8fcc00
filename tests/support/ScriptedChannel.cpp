#include "tests/support/ScriptedChannel.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace tests {
namespace support {

using zorn::net::RESULT_OK;
using zorn::net::RESULT_OPERATION_FAIL;
using zorn::net::RESULT_OPERATION_TIMEOUT;

ScriptedChannel::ScriptedChannel(zorn::net::Protocol* protocol, ScriptedBase& base)
    : Channel(protocol), base_(base) {}

ScriptedChannel::~ScriptedChannel() {
    stop();
}

void ScriptedChannel::failWrites(int32_t result) {
    std::lock_guard<std::mutex> guard(mutex_);
    writeResult_ = result;
}

void ScriptedChannel::inject(const Bytes& bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    readable_.notify_all();
}

int32_t ScriptedChannel::writeBytes(const uint8_t* data, uint32_t length) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (writeResult_ != RESULT_OK) {
            return writeResult_;
        }
    }
    Bytes reply = base_.receive(data, length);
    if (!reply.empty()) {
        inject(reply);
    }
    return RESULT_OK;
}

int32_t ScriptedChannel::readBytes(uint8_t* data, uint32_t capacity, uint32_t& got) {
    std::lock_guard<std::mutex> guard(mutex_);
    got = static_cast<uint32_t>(std::min<size_t>(capacity, pending_.size()));
    if (got != 0) {
        std::memcpy(data, pending_.data(), got);
        pending_.erase(pending_.begin(), pending_.begin() + got);
    }
    return RESULT_OK;
}

int32_t ScriptedChannel::waitForData(uint32_t& available) {
    std::unique_lock<std::mutex> lock(mutex_);
    available = 0;
    readable_.wait_for(lock, std::chrono::milliseconds(WAIT_BOUND_MS),
                       [this] { return interrupted_ || !pending_.empty(); });
    if (pending_.empty()) {
        return RESULT_OPERATION_TIMEOUT;
    }
    available = static_cast<uint32_t>(std::min<size_t>(pending_.size(), MAX_CHUNK_SIZE));
    return RESULT_OK;
}

void ScriptedChannel::interruptWait() {
    std::lock_guard<std::mutex> guard(mutex_);
    interrupted_ = true;
    readable_.notify_all();
}

void ScriptedChannel::clearInterrupt() {
    std::lock_guard<std::mutex> guard(mutex_);
    interrupted_ = false;
}

}  // namespace support
}  // namespace tests
