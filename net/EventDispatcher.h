#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "net/Message.h"
#include "net/arch/Mutex.h"

namespace zorn {
namespace ev {

template <class Arg>
class EventDispatcher;

// A handler registered under one event code. Owned by the dispatcher it is
// registered on unless `external` is true.
template <class Arg>
class AbsEventHandler {
public:
    uint32_t event;
    std::string name;
    bool external;

    explicit AbsEventHandler(uint32_t evt, const std::string& nm = "_unnamed")
        : event(evt), name(nm), external(false) {}
    virtual ~AbsEventHandler() {}
    // Called by the dispatcher; the result is ignored.
    virtual int invoke(EventDispatcher<Arg>* sender, Arg arg) = 0;
};

// Calls a member function of a target object.
template <class T, class Arg>
class EventHandler : public AbsEventHandler<Arg> {
public:
    typedef int (T::*Callback)(uint32_t, EventDispatcher<Arg>*, Arg);

    T* target;
    Callback callback;

    EventHandler(uint32_t evt, T* tgt, Callback cb) : AbsEventHandler<Arg>(evt), target(tgt), callback(cb) {}

    int invoke(EventDispatcher<Arg>* sender, Arg arg) override {
        return (target->*callback)(this->event, sender, arg);
    }
};

// A thread-safe table from event codes to handlers. Handlers run on the
// dispatching thread while the dispatcher's lock is held, so a handler must
// not call back into the dispatcher that is calling it.
template <class Arg>
class EventDispatcher {
public:
    typedef AbsEventHandler<Arg> Handler;

    EventDispatcher() {}
    EventDispatcher(const EventDispatcher&) = delete;
    EventDispatcher& operator=(const EventDispatcher&) = delete;
    virtual ~EventDispatcher() { clearHandlers(); }

    // Registers after every handler with the same code. False only when the
    // lock could not be taken (the caller then still owns the handler).
    bool addHandler(Handler* handler) {
        if (!handler) return false;
        ::zorn::arch::net::MutexGuard guard(lock_);
        if (!guard.owns()) return false;
        handlers_.insert(typename Table::value_type(handler->event, handler));
        return true;
    }

    // Unregisters one handler and destroys it unless external. True also
    // when the handler was not registered.
    bool removeHandler(Handler* handler) {
        if (!handler) return true;
        ::zorn::arch::net::MutexGuard guard(lock_);
        if (!guard.owns()) return false;
        for (typename Table::iterator it = handlers_.lower_bound(handler->event); it != handlers_.end(); ++it) {
            if (it->second == handler) {
                handlers_.erase(it);
                if (!handler->external) delete handler;
                break;
            }
        }
        return true;
    }

    // Calls every handler registered under exactly `code`, in registration
    // order.
    void dispatch(uint32_t code, Arg arg) {
        ::zorn::arch::net::MutexGuard guard(lock_);
        if (!guard.owns()) return;
        // The table cannot change while the lock is held.
        std::pair<typename Table::iterator, typename Table::iterator> range = handlers_.equal_range(code);
        for (typename Table::iterator it = range.first; it != range.second; ++it) it->second->invoke(this, arg);
    }

    void clearHandlers() {
        ::zorn::arch::net::MutexGuard guard(lock_);
        if (!guard.owns()) return;
        for (typename Table::iterator it = handlers_.begin(); it != handlers_.end(); ++it) {
            if (!it->second->external) delete it->second;
        }
        handlers_.clear();
    }

    // Number of handlers registered under `code` (diagnostics and tests).
    size_t handlerCount(uint32_t code) {
        ::zorn::arch::net::MutexGuard guard(lock_);
        return guard.owns() ? handlers_.count(code) : 0;
    }

    // Number of handlers registered in all.
    size_t handlerCount() {
        ::zorn::arch::net::MutexGuard guard(lock_);
        return guard.owns() ? handlers_.size() : 0;
    }

private:
    typedef std::multimap<uint32_t, Handler*> Table;
    Table handlers_;
    ::zorn::arch::net::Mutex lock_;
};

}  // namespace ev

namespace net {
typedef ::zorn::ev::EventDispatcher<MessagePtr&> MessageDispatcher;
typedef ::zorn::ev::AbsEventHandler<MessagePtr&> AbsMessageHandler;
template <class T>
using MessageHandler = ::zorn::ev::EventHandler<T, MessagePtr&>;
}  // namespace net
}  // namespace zorn
