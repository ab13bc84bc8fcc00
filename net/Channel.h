#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <vector>
#include <thread>

#include "net/EventDispatcher.h"
#include "net/Events.h"
#include "net/Message.h"
#include "net/Protocol.h"
#include "net/Result.h"
#include "net/arch/Event.h"
#include "net/arch/Mutex.h"

namespace zorn {
namespace net {

// Abstract byte channel over a medium that derived classes supply
// (writeBytes, readBytes, waitForData; interruptWait/clearInterrupt so that
// stop() returns at once).
//
// Threads and hand-offs. A request runs entirely on the caller's thread;
// in the worst case (the receive thread decodes the answer) it costs one
// wake-up between threads, that of the caller.
// - send() writes the frame on the caller's thread when nothing is queued
//   ahead of it and no write is in progress; otherwise the frame is queued
//   for the transmit thread, which also serves post() and keeps the order.
//   Send results, the EVT_SEND_FAILED / EVT_SEND_TIMEOUT events and the
//   trace's dump are the same on either thread. Every write is bounded by the
//   medium and cut short by stop(), and send() never waits without limit.
// - A caller waiting for an answer reads and decodes the medium itself
//   (receiveUntil), so the answer is in when its read returns. The receive
//   thread stands aside while callers read (and for a short linger after, so
//   that a burst of requests never wakes it), and reads everything that
//   arrives otherwise. One lock admits one reader at a time, so frames are
//   decoded in order.
// - Whoever reads a chunk decodes it at once (dispatchLoop is that step), so
//   a frame reaches the endpoint's handler on the thread that read it. While
//   a handler is busy nothing more is read: the bytes wait in the kernel (TCP
//   window, tty buffer), which holds the peer back, so memory stays bounded
//   by one chunk whatever the peer sends.
//
// A derived class must call stop() in its own destructor: once the derived
// part is gone the threads could no longer reach the medium.
class Channel : public MessageDispatcher {
public:
    static constexpr uint32_t RX_STOPPED = 1u << 0;
    static constexpr uint32_t TX_STOPPED = 1u << 1;
    // Largest frame the transmit thread writes (its buffer size).
    static constexpr uint32_t MAX_FRAME_SIZE = 65536;
    // Largest chunk the receive thread reads at once.
    static constexpr uint32_t MAX_CHUNK_SIZE = 65535;
    // Frames up to this size are encoded on the caller's stack.
    static constexpr uint32_t SMALL_FRAME_SIZE = 512;
    // Bound of the waits inside the channel's own loops, in ms.
    static constexpr uint32_t LOOP_WAIT_MS = 1000;

    // One queued transmission.
    struct TxNode {
        MessagePtr message;
        Event done;
        int32_t result = RESULT_OPERATION_FAIL;
        explicit TxNode(const MessagePtr& m) : message(m) {}
    };
    typedef std::shared_ptr<TxNode> TxNodePtr;

    explicit Channel(Protocol* protocol);
    ~Channel() override;

    // Writes the message (on this thread, or through the transmit thread when
    // others are queued ahead) and returns the write's result.
    virtual int32_t send(const MessagePtr& message);
    // Queues the message; the outcome is seen only through events 2 and 3.
    virtual int32_t post(const MessagePtr& message);
    // Sends the protocol's synchronisation message twice; always 0.
    virtual int32_t sync();
    virtual int32_t writeBytes(const uint8_t* data, uint32_t length) = 0;
    virtual int32_t readBytes(uint8_t* data, uint32_t capacity, uint32_t& got) = 0;
    // Waits a short, bounded time for input; available = bytes to read.
    virtual int32_t waitForData(uint32_t& available) = 0;
    virtual void start();
    // Stops and joins the threads; fails the messages still queued.
    virtual void stop();
    virtual int32_t receiveLoop();
    // Decodes one received chunk on the receive thread.
    virtual int32_t dispatchLoop(const uint8_t* data, uint32_t length);
    virtual int32_t transmitLoop();
    virtual int onProtocolMessage(uint32_t event, MessageDispatcher* sender, MessagePtr& message);
    virtual int onProtocolBadFrame(uint32_t event, MessageDispatcher* sender, MessagePtr& message);

    // Reads and decodes on the calling thread until done() holds, timeoutMs
    // passes or the channel stops; true when done() held. done() is checked
    // between reads, at least every CALLER_SLICE_MS.
    bool receiveUntil(const std::function<bool()>& done, uint32_t timeoutMs);
    static constexpr uint32_t CALLER_SLICE_MS = 50;
    // How long the receive thread stands aside after a caller read.
    static constexpr uint32_t CALLER_LINGER_MS = 10;

    bool isRunning() const { return running.load(); }
    Protocol* getProtocol() const { return protocol; }
    uint32_t getStatusBits() const { return statusBits.load(); }
    void setStatusBits(uint32_t bits) { statusBits.fetch_or(bits); }
    void clearStatusBits(uint32_t bits) { statusBits.fetch_and(~bits); }
    // Clears RX_STOPPED and TX_STOPPED, as an owner does before start().
    void clearStopped() { clearStatusBits(RX_STOPPED | TX_STOPPED); }

protected:
    // Wakes the receive thread out of waitForData (and a blocked write) once
    // `running` is false. Called by stop(); the default does nothing, so a
    // medium without it makes stop wait for its waitForData bound.
    virtual void interruptWait() {}
    // Undoes interruptWait before the threads start again.
    virtual void clearInterrupt() {}
    // waitForData bounded by `ms` (0: only look). A medium without it
    // answers RESULT_OPERATION_NOT_SUPPORT (the default): callers then wait
    // for the receive thread instead of reading themselves.
    virtual int32_t waitForDataFor(uint32_t ms, uint32_t& available) {
        (void)ms;
        available = 0;
        return RESULT_OPERATION_NOT_SUPPORT;
    }
    // Sleeps ms unless the channel stops (or is not running).
    void pauseWhileRunning(uint32_t ms);

    Protocol* protocol;
    std::list<TxNodePtr> txQueue;
    Event txReady;
    std::thread txThread;
    std::thread rxThread;
    Mutex txLock;
    std::vector<MessageRegistration> protocolHandlers;
    std::atomic<bool> running;
    std::atomic<uint32_t> statusBits;

private:
    int32_t enqueue(const MessagePtr& message, TxNodePtr& node);
    // Encodes and writes one message, reporting a failure as an event.
    int32_t writeMessage(const MessagePtr& message, uint8_t* scratch, uint32_t scratchSize);
    // Waits for a queued node, boundedly once the channel no longer runs.
    int32_t waitQueued(const TxNodePtr& node);

    // Reads one chunk (the medium said `available` bytes wait) and decodes
    // it; false when the medium failed. The caller holds readerLock_.
    bool readAndDecode(uint32_t available);
    // A caller reads, or did so within the linger; `left` is what remains.
    bool callerActive(std::chrono::steady_clock::duration& left) const;

    bool writing_ = false;  // a write is in progress (guarded by txLock)
    // One reader of the medium at a time (a mutex and a condition rather
    // than a timed mutex, whose timed lock some thread checkers cannot see).
    struct ReaderSlot {
        std::mutex mutex;
        std::condition_variable freed;
        bool held = false;
        bool acquireUntil(std::chrono::steady_clock::time_point deadline);
        void release();
    };
    ReaderSlot readerLock_;
    std::atomic<std::thread::id> readerOwner_{};
    std::atomic<bool> callerReading_{false};
    std::atomic<int64_t> callerSeenNs_{0};  // steady clock, 0: long ago
    std::unique_ptr<uint8_t[]> chunk_;      // the reader's buffer
    static void joinThread(std::thread& t);

    std::mutex lifecycle_;  // serialises start and stop
    std::mutex pauseMutex_;
    std::condition_variable pauseCv_;
};

}  // namespace net
}  // namespace zorn
