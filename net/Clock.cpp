#include "net/Clock.h"

namespace zorn {
namespace net {

namespace {

class SteadyClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

Clock& steadyClock() {
    static SteadyClock clock;
    return clock;
}

}  // namespace net
}  // namespace zorn
