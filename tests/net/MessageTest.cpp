#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "NetTestUtil.h"
#include "net/EventDispatcher.h"
#include "net/Events.h"
#include "net/Message.h"
#include "net/arch/Event.h"
#include "tests/support/ThreadMasks.h"

using namespace zorn::net;
using tests::net::Bytes;

TEST(Message, DefaultStateIsTheDecodersWorkingMessage) {
    Message m;
    EXPECT_EQ(m.source, 0);
    EXPECT_EQ(m.address, 0u);
    EXPECT_EQ(m.flags, 0x10);
    EXPECT_EQ(m.ext, 0);
    EXPECT_EQ(m.length, 1u);
    EXPECT_EQ(m.cmd, 0);
    EXPECT_EQ(m.checksum, 0);
    EXPECT_EQ(m.data(), nullptr);
    EXPECT_EQ(m.payload.size(), 0u);
    EXPECT_EQ(m.payloadLength(), 0u);
}

TEST(Message, ConstructorCopiesPayload) {
    const uint8_t src[] = {1, 2, 3};
    Message m(0xF8, src, 3);
    EXPECT_EQ(m.cmd, 0xF8);
    EXPECT_EQ(m.length, 4u);
    EXPECT_EQ(m.payload.size(), 3u);
    EXPECT_EQ(m.flags, 0x10);
    ASSERT_NE(m.data(), nullptr);
    EXPECT_EQ(Bytes(m.data(), m.data() + 3), Bytes({1, 2, 3}));
}

TEST(Message, ConstructorWithNullSourceAllocatesZeroedPayload) {
    Message m(7, nullptr, 5);
    EXPECT_EQ(m.length, 6u);
    ASSERT_NE(m.data(), nullptr);
    EXPECT_EQ(m.payload.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(m.data()[i], 0);
}

TEST(Message, LengthZeroPayloadHasNoBufferAndNeitherHasItsCopy) {
    Message m(5, nullptr, 0);
    EXPECT_EQ(m.length, 1u);
    EXPECT_EQ(m.data(), nullptr);
    Message c(m);
    EXPECT_EQ(c.length, 1u);
    EXPECT_EQ(c.data(), nullptr);
    EXPECT_EQ(c.payload.size(), 0u);
}

TEST(Message, MinusOneBuildsAMessageWithoutCommandByte) {
    Message m(5, nullptr, -1);
    EXPECT_EQ(m.length, 0u);
    EXPECT_EQ(m.data(), nullptr);
    EXPECT_EQ(m.payloadLength(), 0u);
    Message n(5, nullptr, -20);  // nonsense length is taken as 0
    EXPECT_EQ(n.length, 1u);
    EXPECT_EQ(n.data(), nullptr);
}

TEST(Message, CopyIsDeep) {
    const uint8_t src[] = {9, 8, 7, 6};
    Message m(1, src, 4);
    m.source = 3;
    m.address = 4;
    m.ext = 5;
    m.checksum = 6;
    Message c(m);
    EXPECT_NE(c.data(), m.data());
    EXPECT_EQ(c.source, 3);
    EXPECT_EQ(c.address, 4u);
    EXPECT_EQ(c.ext, 5);
    EXPECT_EQ(c.checksum, 6);
    EXPECT_EQ(c.payload.size(), 4u);
    m.payload[0] = 0;
    EXPECT_EQ(c.payload[0], 9);

    Message a;
    a = m;
    EXPECT_NE(a.data(), m.data());
    EXPECT_EQ(Bytes(a.data(), a.data() + 4), Bytes({0, 8, 7, 6}));
    a = a;  // self-assignment keeps the payload
    EXPECT_EQ(Bytes(a.data(), a.data() + 4), Bytes({0, 8, 7, 6}));
}

TEST(Message, CopyAllocatesExactlyThePayloadNotTheCapacity) {
    Message m;
    m.resize(64);
    m.resize(40);  // keeps the 64-byte buffer
    EXPECT_EQ(m.payload.capacity(), 64u);
    Message c(m);
    EXPECT_EQ(c.payload.capacity(), 40u);
}

TEST(Message, ResizeRules) {
    Message m;
    m.resize(64);
    EXPECT_EQ(m.payload.capacity(), 64u);
    EXPECT_EQ(m.length, 65u);
    uint8_t* buf = m.data();

    m.resize(64);
    EXPECT_EQ(m.data(), buf);
    m.resize(40);
    EXPECT_EQ(m.data(), buf);
    EXPECT_EQ(m.payload.capacity(), 64u);
    EXPECT_EQ(m.length, 41u);
    m.resize(33);  // still above half
    EXPECT_EQ(m.payload.capacity(), 64u);

    m.resize(10);  // at most half: shrink to exactly 10
    EXPECT_EQ(m.payload.capacity(), 10u);
    EXPECT_EQ(m.length, 11u);

    m.resize(100);  // grow
    EXPECT_EQ(m.payload.capacity(), 100u);

    m.resize(-1);
    EXPECT_EQ(m.length, 1u);
    EXPECT_EQ(m.payload.capacity(), 0u);
    EXPECT_EQ(m.data(), nullptr);
}

TEST(Message, ClearFreesTheBuffer) {
    Message m(3, nullptr, 10);
    m.clear();
    EXPECT_EQ(m.length, 1u);
    EXPECT_EQ(m.payload.capacity(), 0u);
    EXPECT_EQ(m.data(), nullptr);
}

// ---------------------------------------------------------------------------
// Dispatcher

namespace {

using Disp = zorn::ev::EventDispatcher<MessagePtr&>;

struct Target {
    std::vector<std::pair<std::string, uint32_t>> calls;
    int a(uint32_t e, Disp*, MessagePtr&) {
        calls.emplace_back("a", e);
        return 1;
    }
    int b(uint32_t e, Disp*, MessagePtr&) {
        calls.emplace_back("b", e);
        return 2;
    }
};

struct Counted : zorn::ev::AbsEventHandler<MessagePtr&> {
    static int alive;
    static int invoked;
    explicit Counted(uint32_t e) : AbsEventHandler(e) { ++alive; }
    ~Counted() override { --alive; }
    int invoke(Disp*, MessagePtr&) override {
        ++invoked;
        return 0;
    }
};
int Counted::alive = 0;
int Counted::invoked = 0;

}  // namespace

TEST(EventDispatcher, HandlerDefaults) {
    Target t;
    MessageHandler<Target> h(3, &t, &Target::a);
    EXPECT_EQ(h.event, 3u);
    EXPECT_EQ(h.name, "_unnamed");
}

TEST(EventDispatcher, SameCodeInRegistrationOrderOtherCodesUntouched) {
    Target t;
    Disp d;
    d.addHandler(1, &t, &Target::b);
    d.addHandler(0, &t, &Target::b);
    d.addHandler(0, &t, &Target::a);
    d.addHandler(0xFFFFFFFFu, &t, &Target::a);
    MessagePtr m;
    d.dispatch(0, m);
    ASSERT_EQ(t.calls.size(), 2u);
    EXPECT_EQ(t.calls[0], std::make_pair(std::string("b"), 0u));
    EXPECT_EQ(t.calls[1], std::make_pair(std::string("a"), 0u));
    t.calls.clear();
    d.dispatch(0xFFFFFFFFu, m);  // codes compare unsigned: the largest code works
    ASSERT_EQ(t.calls.size(), 1u);
    EXPECT_EQ(t.calls[0].second, 0xFFFFFFFFu);
    t.calls.clear();
    d.dispatch(2, m);
    EXPECT_TRUE(t.calls.empty());
}

TEST(EventDispatcher, HandlerSeesTheSameMessagePointer) {
    struct Peek {
        Message* seen = nullptr;
        int on(uint32_t, Disp*, MessagePtr& m) {
            seen = m.get();
            return 0;
        }
    } p;
    Disp d;
    d.addHandler(0, &p, &Peek::on);
    MessagePtr m = std::make_shared<Message>(1, nullptr, 0);
    d.dispatch(0, m);
    EXPECT_EQ(p.seen, m.get());
}

TEST(EventDispatcher, RemoveUnregisteredReturnsTrueAndKeepsTable) {
    Counted::alive = 0;
    Counted::invoked = 0;
    {
        Disp d;
        d.addHandler(std::make_unique<Counted>(0));
        Counted stray(0);
        EXPECT_TRUE(d.removeHandler(&stray));
        EXPECT_EQ(d.handlerCount(), 1u);
        MessagePtr m;
        d.dispatch(0, m);
        EXPECT_EQ(Counted::invoked, 1);
        EXPECT_TRUE(d.removeHandler(nullptr));
    }
    EXPECT_EQ(Counted::alive, 0);
}

// Handlers die exactly once: on removal, on clearHandlers, or with the
// dispatcher; a registration removes its handler when it goes, and a moved
// registration hands that duty on.
TEST(EventDispatcher, OwnershipOfHandlersAndRegistrations) {
    Counted::alive = 0;
    {
        Disp d;
        auto owned = std::make_unique<Counted>(2);
        Counted* raw = owned.get();
        d.addHandler(std::move(owned));
        d.addHandler(std::make_unique<Counted>(7));
        EXPECT_EQ(Counted::alive, 2);
        EXPECT_TRUE(d.removeHandler(raw));
        EXPECT_EQ(Counted::alive, 1);

        Disp::Registration outer;
        {
            Disp::Registration inner = d.subscribe(std::make_unique<Counted>(0));
            EXPECT_TRUE(static_cast<bool>(inner));
            EXPECT_EQ(d.handlerCount(0), 1u);
            outer = std::move(inner);
            EXPECT_FALSE(static_cast<bool>(inner));
        }
        EXPECT_EQ(d.handlerCount(0), 1u);  // the moved-from registration removed nothing
        outer.reset();
        EXPECT_EQ(d.handlerCount(0), 0u);
        EXPECT_EQ(Counted::alive, 1);
        EXPECT_FALSE(static_cast<bool>(d.subscribe(nullptr)));

        d.addHandler(std::make_unique<Counted>(0));
        d.clearHandlers();
        EXPECT_EQ(Counted::alive, 0);
        d.addHandler(std::make_unique<Counted>(0));
        d.addHandler(std::make_unique<Counted>(0));
    }
    EXPECT_EQ(Counted::alive, 0);
}

TEST(EventDispatcher, ConcurrentRegistrationAndDispatch) {
    Counted::alive = 0;
    Counted::invoked = 0;
    Disp d;
    std::atomic<bool> go{true};
    std::thread dispatcher([&] {
        MessagePtr m;
        while (go.load()) d.dispatch(0, m);
    });
    std::vector<Disp::Registration> registrations;
    for (int i = 0; i < 200; ++i) registrations.push_back(d.subscribe(std::make_unique<Counted>(0)));
    registrations.clear();
    go = false;
    dispatcher.join();
    EXPECT_EQ(Counted::alive, 0);
    EXPECT_EQ(d.handlerCount(), 0u);
}

// ---------------------------------------------------------------------------
// Event

TEST(SyncPrimitives, EventIsAutoReset) {
    Event e;
    EXPECT_EQ(e.wait(0), WAIT_TIMEOUT);
    e.set();
    EXPECT_EQ(e.wait(0), WAIT_SIGNALED);
    EXPECT_EQ(e.wait(10), WAIT_TIMEOUT);
    e.set();
    e.reset();
    EXPECT_EQ(e.wait(0), WAIT_TIMEOUT);
}

TEST(SyncPrimitives, EventWakesAWaiterPromptly) {
    Event e;
    const std::set<pid_t> before = tests::support::otherThreads();
    auto waited = std::async(std::launch::async, [&] { return e.wait(WAIT_INFINITE); });
    ASSERT_TRUE(tests::support::waitUntilNewThreadsSleep(before, 1));
    e.set();
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waited.get(), WAIT_SIGNALED);
}
