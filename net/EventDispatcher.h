#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "net/Message.h"

namespace zorn {
namespace ev {

template <class Arg>
class EventDispatcher;

// A handler registered under one event code. The dispatcher it is registered
// on owns it.
template <class Arg>
class AbsEventHandler {
public:
    uint32_t event;
    std::string name;

    explicit AbsEventHandler(uint32_t evt, const std::string& nm = "_unnamed") : event(evt), name(nm) {}
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

// Keeps one handler registered while it lives: destroying or resetting it
// removes the handler from its dispatcher (which destroys the handler). An
// object that listens to a dispatcher which may outlive it holds its
// handlers this way, so they go with it. The registration itself must not
// outlive the dispatcher. Move-only.
template <class Arg>
class HandlerRegistration {
public:
    HandlerRegistration() {}
    HandlerRegistration(EventDispatcher<Arg>* dispatcher, AbsEventHandler<Arg>* handler)
        : dispatcher_(dispatcher), handler_(handler) {}
    HandlerRegistration(HandlerRegistration&& other) noexcept
        : dispatcher_(other.dispatcher_), handler_(other.handler_) {
        other.release();
    }
    HandlerRegistration& operator=(HandlerRegistration&& other) noexcept {
        if (this != &other) {
            reset();
            dispatcher_ = other.dispatcher_;
            handler_ = other.handler_;
            other.release();
        }
        return *this;
    }
    HandlerRegistration(const HandlerRegistration&) = delete;
    HandlerRegistration& operator=(const HandlerRegistration&) = delete;
    ~HandlerRegistration() { reset(); }

    void reset() {
        if (dispatcher_) dispatcher_->removeHandler(handler_);
        release();
    }
    explicit operator bool() const { return dispatcher_ != nullptr; }

private:
    void release() {
        dispatcher_ = nullptr;
        handler_ = nullptr;
    }

    EventDispatcher<Arg>* dispatcher_ = nullptr;
    AbsEventHandler<Arg>* handler_ = nullptr;
};

// A thread-safe table from event codes to handlers. Handlers run on the
// dispatching thread while the dispatcher's lock is held, so a handler must
// not call back into the dispatcher that is calling it.
template <class Arg>
class EventDispatcher {
public:
    typedef AbsEventHandler<Arg> Handler;
    typedef std::unique_ptr<Handler> HandlerPtr;
    typedef HandlerRegistration<Arg> Registration;

    EventDispatcher() {}
    EventDispatcher(const EventDispatcher&) = delete;
    EventDispatcher& operator=(const EventDispatcher&) = delete;
    virtual ~EventDispatcher() { clearHandlers(); }

    // Registers after every handler with the same code; the dispatcher owns
    // the handler until it is removed or the dispatcher goes. False for a
    // null handler.
    bool addHandler(HandlerPtr handler) { return insert(std::move(handler)) != nullptr; }

    // Registers a call of `callback` on `target` under `event`.
    template <class T>
    bool addHandler(uint32_t event, T* target, typename EventHandler<T, Arg>::Callback callback) {
        return addHandler(HandlerPtr(std::make_unique<EventHandler<T, Arg>>(event, target, callback)));
    }

    // Registers like addHandler and returns the registration that removes
    // the handler again; an empty one for a null handler.
    Registration subscribe(HandlerPtr handler) {
        Handler* registered = insert(std::move(handler));
        return registered ? Registration(this, registered) : Registration();
    }

    template <class T>
    Registration subscribe(uint32_t event, T* target, typename EventHandler<T, Arg>::Callback callback) {
        return subscribe(HandlerPtr(std::make_unique<EventHandler<T, Arg>>(event, target, callback)));
    }

    // Unregisters one handler and destroys it. True also when the handler
    // was not registered.
    bool removeHandler(Handler* handler) {
        if (!handler) return true;
        std::lock_guard<std::mutex> guard(lock_);
        for (typename Table::iterator it = handlers_.lower_bound(handler->event); it != handlers_.end(); ++it) {
            if (it->second.get() == handler) {
                handlers_.erase(it);
                break;
            }
        }
        return true;
    }

    // Calls every handler registered under exactly `code`, in registration
    // order.
    void dispatch(uint32_t code, Arg arg) {
        std::lock_guard<std::mutex> guard(lock_);
        // The table cannot change while the lock is held.
        std::pair<typename Table::iterator, typename Table::iterator> range = handlers_.equal_range(code);
        for (typename Table::iterator it = range.first; it != range.second; ++it) it->second->invoke(this, arg);
    }

    void clearHandlers() {
        std::lock_guard<std::mutex> guard(lock_);
        handlers_.clear();
    }

    // Number of handlers registered under `code` (diagnostics and tests).
    size_t handlerCount(uint32_t code) {
        std::lock_guard<std::mutex> guard(lock_);
        return handlers_.count(code);
    }

    // Number of handlers registered in all.
    size_t handlerCount() {
        std::lock_guard<std::mutex> guard(lock_);
        return handlers_.size();
    }

private:
    typedef std::multimap<uint32_t, HandlerPtr> Table;

    // The registered handler, or null for a null handler.
    Handler* insert(HandlerPtr handler) {
        if (!handler) return nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        Handler* registered = handler.get();
        handlers_.emplace(registered->event, std::move(handler));
        return registered;
    }

    Table handlers_;
    std::mutex lock_;
};

}  // namespace ev

namespace net {
typedef ::zorn::ev::EventDispatcher<MessagePtr&> MessageDispatcher;
typedef ::zorn::ev::AbsEventHandler<MessagePtr&> AbsMessageHandler;
template <class T>
using MessageHandler = ::zorn::ev::EventHandler<T, MessagePtr&>;
typedef ::zorn::ev::HandlerRegistration<MessagePtr&> MessageRegistration;
}  // namespace net
}  // namespace zorn
