// A long monitor run keeps the console's memory and descriptor count flat:
// nothing grows per request.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>

#include "drv/ControlBus.h"
#include "tests/e2e/E2eSupport.h"

using namespace tests::e2e;
using namespace zorn::orbitane::sim;
using std::chrono::milliseconds;

namespace {

// Sanitizers slow the console down several times; fewer requests still
// show a leak of one allocation per request.
#ifdef ORBITANE_SLOW_BUILD
constexpr size_t kEarly = 500;
constexpr size_t kLate = 5000;
#else
constexpr size_t kEarly = 3000;
constexpr size_t kLate = 30000;
#endif

struct Sample {
    long residentKiB;
    int descriptors;
};

TEST(LongMonitor, MemoryAndDescriptorsStayFlat) {
    SimRig r;
    r.sim().setLogSink(nullptr);
    auto child = r.start({"monitor", "status"});
    auto reached = [&](size_t n) {
        return r.sim().waitFor([&] { return r.device().requestCount(zorn::drv::REQ_GET_STATUS) >= n; },
                               milliseconds(120000));
    };
    ASSERT_TRUE(reached(kEarly));
    const auto earlyAt = std::chrono::steady_clock::now();
    const Sample early{child->residentKiB(), child->openDescriptors()};
    ASSERT_TRUE(reached(kLate));
    const auto lateAt = std::chrono::steady_clock::now();
    const Sample late{child->residentKiB(), child->openDescriptors()};
    const size_t count = r.device().requestCount(zorn::drv::REQ_GET_STATUS);
    child->signal(SIGINT);
    ConsoleOutcome out = child->wait(milliseconds(10000));
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 130);

    const double seconds = std::chrono::duration<double>(lateAt - earlyAt).count();
    std::printf("monitor: %zu status requests; %zu in %.2f s between the samples (%.0f requests/s); "
                "resident %ld KiB -> %ld KiB; descriptors %d -> %d\n",
                count, kLate - kEarly, seconds, (kLate - kEarly) / seconds, early.residentKiB, late.residentKiB,
                early.descriptors, late.descriptors);
    ASSERT_GT(early.residentKiB, 0);
    ASSERT_GT(early.descriptors, 0);
    EXPECT_EQ(late.descriptors, early.descriptors);
#ifndef ORBITANE_SLOW_BUILD
    // Growth of a few pages is allocator noise; a message, buffer or
    // handler left behind per request would be 27,000 of them here. (The
    // address sanitizer keeps freed memory in quarantine, so its builds
    // leave this to the leak checker.)
    EXPECT_LE(late.residentKiB - early.residentKiB, 128) << "resident memory grew";
#endif
    // Every request was printed: two lines per reading.
    EXPECT_GE(out.outLinesStartingWith(info(BASE, "Battery: ")).size(), kLate);
}

}  // namespace
