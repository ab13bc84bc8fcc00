#pragma once

// An in-process channel whose medium is a ScriptedBase: every frame the
// transmit thread writes is handed to the base, and the base's reply bytes
// become the channel's received data. Runs the real channel threads, so the
// protocol, channel and endpoint above it work exactly as over a wire.

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "net/Channel.h"
#include "tests/support/ScriptedBase.h"

namespace tests {
namespace support {

class ScriptedChannel : public zorn::net::Channel {
public:
    // Neither is owned; both must outlive the channel.
    ScriptedChannel(zorn::net::Protocol* protocol, ScriptedBase& base);
    ~ScriptedChannel() override;

    // Makes every following write fail with `result` before it reaches the
    // base (RESULT_OK restores normal writes).
    void failWrites(int32_t result);
    // Bytes that appear on the medium as if the base had sent them unasked.
    void inject(const Bytes& bytes);

    int32_t writeBytes(const uint8_t* data, uint32_t length) override;
    int32_t readBytes(uint8_t* data, uint32_t capacity, uint32_t& got) override;
    int32_t waitForData(uint32_t& available) override;

protected:
    void interruptWait() override;
    void clearInterrupt() override;

private:
    // Bound of waitForData, in ms.
    static constexpr int WAIT_BOUND_MS = 200;

    ScriptedBase& base_;
    std::mutex mutex_;
    std::condition_variable readable_;
    Bytes pending_;
    int32_t writeResult_ = zorn::net::RESULT_OK;
    bool interrupted_ = false;
};

}  // namespace support
}  // namespace tests
