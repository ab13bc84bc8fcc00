#pragma once

namespace zorn {
namespace arch {
namespace net {

// A level-triggered wake-up descriptor (eventfd) that a thread polls beside
// its medium, so that another thread can cut its wait short.
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // Makes fd() readable until clear() is called.
    void signal();
    void clear();
    // The descriptor to poll for POLLIN, or -1 when it could not be made.
    int fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace net
}  // namespace arch
}  // namespace zorn
