#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/EventDispatcher.h"
#include "net/Events.h"
#include "net/Message.h"
#include "net/Protocol.h"
#include "net/ReaderSlot.h"
#include "net/Result.h"

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
//   arrives otherwise. The reader slot admits one reader at a time, so
//   frames are decoded in order.
// - Whoever reads a chunk decodes it at once, so a frame reaches the
//   endpoint's handler on the thread that read it. While a handler is busy
//   nothing more is read: the bytes wait in the kernel (TCP window, tty
//   buffer), which holds the peer back, so memory stays bounded by one chunk
//   whatever the peer sends.
//
// The code follows those jobs: Channel.cpp starts and stops, ChannelRequest.cpp
// is a request on the caller's thread from the write to the decoded answer,
// ChannelTransmit.cpp the transmit queue and its thread, ChannelReceive.cpp
// the receive thread.
//
// A derived class must call stop() in its own destructor: once the derived
// part is gone the threads could no longer reach the medium.
class Channel : public MessageDispatcher {
public:
    static constexpr uint32_t RX_STOPPED = 1u << 0;
    static constexpr uint32_t TX_STOPPED = 1u << 1;
    // Largest frame the transmit thread writes (its buffer size).
    static constexpr uint32_t MAX_FRAME_SIZE = 65536;
    // Largest chunk read at once.
    static constexpr uint32_t MAX_CHUNK_SIZE = 65535;
    // Frames up to this size are encoded on the caller's stack.
    static constexpr uint32_t SMALL_FRAME_SIZE = 512;
    // Bound of the waits inside the channel's own loops, in ms.
    static constexpr uint32_t LOOP_WAIT_MS = 1000;
    // A caller reading its answer looks at done() at least this often.
    static constexpr uint32_t CALLER_SLICE_MS = 50;
    // How long the receive thread stands aside after a caller read.
    static constexpr uint32_t CALLER_LINGER_MS = 10;
    // After a look found nothing, a caller waits before reading, and looks
    // first again only on every this many requests.
    static constexpr uint32_t LOOK_FIRST_RETRY = 16;

    explicit Channel(Protocol* protocol);
    ~Channel() override;

    // Writes the message (on this thread, or through the transmit thread when
    // others are queued ahead) and returns the write's result.
    int32_t send(const MessagePtr& message);
    // Reads and decodes on the calling thread until done() holds, timeoutMs
    // passes or the channel stops; true when done() held. done() is checked
    // between reads, at least every CALLER_SLICE_MS.
    bool receiveUntil(const std::function<bool()>& done, uint32_t timeoutMs);
    // Queues the message; the outcome is seen only through events 2 and 3.
    int32_t post(const MessagePtr& message);
    // Sends the protocol's synchronisation message twice; always 0.
    int32_t sync();

    void start();
    // Stops and joins the threads; fails the messages still queued.
    void stop();

    // The medium.
    virtual int32_t writeBytes(const uint8_t* data, uint32_t length) = 0;
    // RESULT_INVALID_DATA with got 0: the medium dropped spoiled input (a
    // line error); nothing to decode, the medium is still good.
    virtual int32_t readBytes(uint8_t* data, uint32_t capacity, uint32_t& got) = 0;
    // Waits a short, bounded time for input; available = bytes to read.
    virtual int32_t waitForData(uint32_t& available) = 0;

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
    // Reads what is waiting without waiting for it: RESULT_OPERATION_TIMEOUT
    // with got 0 when nothing is. A medium that cannot look without waiting
    // answers RESULT_OPERATION_NOT_SUPPORT (the default): callers then wait
    // before each read.
    virtual int32_t readNow(uint8_t* data, uint32_t capacity, uint32_t& got) {
        (void)data;
        (void)capacity;
        got = 0;
        return RESULT_OPERATION_NOT_SUPPORT;
    }

    Protocol* protocol;
    std::atomic<bool> running;
    std::atomic<uint32_t> statusBits;

private:
    struct TxNode;
    using TxNodePtr = std::shared_ptr<TxNode>;

    // The request path (ChannelRequest.cpp).
    // Encodes and writes one message, reporting a failure as an event.
    int32_t writeMessage(const MessagePtr& message, uint8_t* scratch, uint32_t scratchSize);
    // Reads one chunk (the medium said `available` bytes wait) and decodes
    // it; false when the medium failed. The caller holds the reader slot.
    bool readAndDecode(uint32_t available);
    // A caller's first look, before any wait: reads and decodes what is
    // already waiting. 1 when something was decoded, 0 when nothing was
    // (or the look was skipped), -1 when the medium failed. The caller
    // holds the reader slot.
    int lookFirst();
    int onProtocolMessage(uint32_t event, MessageDispatcher* sender, MessagePtr& message);
    int onProtocolBadFrame(uint32_t event, MessageDispatcher* sender, MessagePtr& message);

    // The transmit queue (ChannelTransmit.cpp).
    // Queues behind the writes ahead and waits for its own; `lock` holds txMutex_.
    int32_t queueAndWait(std::unique_lock<std::mutex>& lock, const MessagePtr& message);
    // A write on the caller's thread is over: lets the transmit thread go on.
    void finishCallerWrite();
    void transmitLoop();
    // Fails what is still queued once the threads are gone.
    void failQueued();

    // The receive thread (ChannelReceive.cpp).
    void receiveLoop();

    // Starting and stopping (Channel.cpp).
    // Sleeps up to `d` unless the channel stops (or is not running).
    void pauseWhileRunning(std::chrono::steady_clock::duration d);
    // Wakes whatever pauses in pauseWhileRunning.
    void wakePaused();
    static void joinThread(std::thread& t);

    std::vector<MessageRegistration> protocolHandlers_;

    std::mutex txMutex_;                  // guards txQueue_ and writing_
    std::condition_variable txReady_;     // a queued frame may go out, or the channel stops
    std::condition_variable txDone_;      // a queued frame's write is over
    std::deque<TxNodePtr> txQueue_;
    bool writing_ = false;                // a write is in progress
    std::thread txThread_;

    ReaderSlot reader_;
    std::unique_ptr<uint8_t[]> chunk_;    // the reader's buffer
    // Whether the last first look found the answer there (then the next
    // caller looks before it waits), and the requests since a look that
    // found nothing. Guarded by the reader slot.
    bool lookFirst_ = true;
    uint32_t sinceLook_ = 0;
    std::thread rxThread_;

    std::mutex lifecycle_;  // serialises start and stop
    std::mutex pauseMutex_;
    std::condition_variable pauseCv_;
};

}  // namespace net
}  // namespace zorn
