#include "log/StandardOutput.h"
#include "log/OutputStreams.h"

#include <atomic>

namespace nivo {
namespace system {
namespace util {

namespace {

// When waits were abandoned (monotonicNs()), 0 while they are not.
std::atomic<int64_t> g_abandonedAtNs{0};
static_assert(std::atomic<int64_t>::is_always_lock_free, "set from a signal handler");

}  // namespace

static_assert(StandardOutput::QUEUE_LIMIT == OutputStreams::QUEUE_LIMIT, "one limit per queue");

struct StandardOutput::State {
    OutputStreams streams{1, 2, g_abandonedAtNs};
};

StandardOutput& StandardOutput::instance() {
    // Never destroyed: its threads may still run while static objects go.
    static StandardOutput* output = new StandardOutput();
    return *output;
}

StandardOutput::StandardOutput() : state_(new State()) {}

void StandardOutput::write(int fd, const std::string& text) { state_->streams.write(fd, text); }

void StandardOutput::flush() { state_->streams.flush(); }

void StandardOutput::abandonWaits() {
    // The first abandon's time holds: flush() counts its second from it.
    int64_t none = 0;
    const int64_t now = monotonicNs();
    g_abandonedAtNs.compare_exchange_strong(none, now == 0 ? 1 : now);
}

void StandardOutput::resumeWaits() { g_abandonedAtNs.store(0); }

uint64_t StandardOutput::droppedLines() const { return state_->streams.droppedLines(); }

bool StandardOutput::lost(int fd) const { return state_->streams.lost(fd); }

StandardOutput::DeadlineScope::DeadlineScope() { instance().state_->streams.enterDeadline(); }

StandardOutput::DeadlineScope::~DeadlineScope() { instance().state_->streams.leaveDeadline(); }

}  // namespace util
}  // namespace system
}  // namespace nivo
