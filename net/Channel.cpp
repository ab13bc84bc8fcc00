#include "net/Channel.h"

#include <signal.h>
#include <chrono>

namespace zorn {
namespace net {

namespace {

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Channel::Channel(Protocol* p)
    : protocol(p), running(false), statusBits(0), chunk_(std::make_unique<uint8_t[]>(MAX_CHUNK_SIZE)) {
    if (!protocol) return;
    protocol->reset();
    protocolHandlers.push_back(protocol->subscribe(EVT_MESSAGE, this, &Channel::onProtocolMessage));
    protocolHandlers.push_back(protocol->subscribe(EVT_BAD_FRAME, this, &Channel::onProtocolBadFrame));
}

Channel::~Channel() {
    stop();
    protocolHandlers.clear();
    txQueue.clear();
}

int32_t Channel::enqueue(const MessagePtr& message, TxNodePtr& node) {
    if (!running.load()) return RESULT_OPERATION_FAIL;
    if (statusBits.load() & TX_STOPPED) return RESULT_OPERATION_NOT_SUPPORT;
    {
        MutexGuard guard(txLock);
        if (!guard.owns() || !running.load()) return RESULT_OPERATION_FAIL;
        node = std::make_shared<TxNode>(message);
        txQueue.push_back(node);
    }
    txReady.set();
    return RESULT_OK;
}

int32_t Channel::send(const MessagePtr& message) {
    if (!running.load()) return RESULT_OPERATION_FAIL;
    if (statusBits.load() & TX_STOPPED) return RESULT_OPERATION_NOT_SUPPORT;
    MutexGuard guard(txLock);
    if (!guard.owns() || !running.load()) return RESULT_OPERATION_FAIL;
    if (txQueue.empty() && !writing_) {
        // Nothing ahead: write here and spare the hand-off to the transmit thread.
        writing_ = true;
        guard.unlock();
        uint8_t scratch[SMALL_FRAME_SIZE];
        int32_t result = writeMessage(message, scratch, sizeof scratch);
        guard.relock();
        writing_ = false;
        const bool more = !txQueue.empty();
        guard.unlock();
        if (more) txReady.set();
        return result;
    }
    TxNodePtr node = std::make_shared<TxNode>(message);
    txQueue.push_back(node);
    guard.unlock();
    txReady.set();
    return waitQueued(node);
}

int32_t Channel::waitQueued(const TxNodePtr& node) {
    // Every write ahead is bounded by the medium, so while the channel runs
    // the wait ends; once it stops, stop() fails what is still queued.
    for (;;) {
        if (node->done.wait(LOOP_WAIT_MS) == WAIT_SIGNALED) return node->result;
        if (!running.load()) {
            if (node->done.wait(LOOP_WAIT_MS) == WAIT_SIGNALED) return node->result;
            return RESULT_OPERATION_FAIL;
        }
    }
}

int32_t Channel::writeMessage(const MessagePtr& message, uint8_t* scratch, uint32_t scratchSize) {
    uint32_t size = protocol ? protocol->encodedSize(message) : 0;
    if (size == 0 || size > MAX_FRAME_SIZE) {
        dispatch(EVT_SEND_FAILED, const_cast<MessagePtr&>(message));
        return RESULT_OPERATION_FAIL;
    }
    std::unique_ptr<uint8_t[]> large;
    uint8_t* frame = scratch;
    uint32_t capacity = scratchSize;
    if (size > scratchSize) {
        large = std::make_unique<uint8_t[]>(size);
        frame = large.get();
        capacity = size;
    }
    uint32_t written = capacity;
    protocol->encode(message, frame, written);
    if (written == 0 || written > capacity) {  // a misbehaving protocol
        dispatch(EVT_SEND_FAILED, const_cast<MessagePtr&>(message));
        return RESULT_OPERATION_FAIL;
    }
    int32_t result = writeBytes(frame, written);
    if (result == RESULT_OPERATION_FAIL) dispatch(EVT_SEND_FAILED, const_cast<MessagePtr&>(message));
    else if (result == RESULT_OPERATION_TIMEOUT) dispatch(EVT_SEND_TIMEOUT, const_cast<MessagePtr&>(message));
    return result;
}

int32_t Channel::post(const MessagePtr& message) {
    TxNodePtr node;
    return enqueue(message, node);
}

void Channel::pauseWhileRunning(uint32_t ms) {
    std::unique_lock<std::mutex> g(pauseMutex_);
    pauseCv_.wait_for(g, std::chrono::milliseconds(ms), [this] { return !running.load(); });
}

int32_t Channel::sync() {
    MessagePtr m;
    if (!protocol || !protocol->getSyncMessage(m) || !m) return 0;
    send(m);
    pauseWhileRunning(200);
    send(m);
    pauseWhileRunning(500);
    return 0;
}

namespace {

// Signals are the main thread's: their handlers must cut its waits short.
void blockSignals() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

}  // namespace

void Channel::start() {
    std::lock_guard<std::mutex> g(lifecycle_);
    if (running.load()) return;
    clearInterrupt();
    running.store(true);
    uint32_t bits = statusBits.load();
    if (!(bits & TX_STOPPED)) txThread = std::thread([this] {
        blockSignals();
        transmitLoop();
    });
    if (bits & RX_STOPPED) return;
    rxThread = std::thread([this] {
        blockSignals();
        receiveLoop();
    });
}

void Channel::joinThread(std::thread& t) {
    if (!t.joinable()) return;
    if (t.get_id() == std::this_thread::get_id()) t.detach();  // stop from inside a handler
    else t.join();
}

void Channel::stop() {
    std::lock_guard<std::mutex> g(lifecycle_);
    if (!running.exchange(false)) return;
    {
        std::lock_guard<std::mutex> pg(pauseMutex_);
    }
    pauseCv_.notify_all();
    txReady.set();
    interruptWait();
    joinThread(txThread);
    joinThread(rxThread);
    // A caller reading its answer leaves within one slice; wait for it, so
    // the medium outlives every read (unless this very thread is the reader).
    if (readerOwner_.load() != std::this_thread::get_id() &&
        readerLock_.acquireUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(LOOP_WAIT_MS))) {
        readerLock_.release();
    }

    std::list<TxNodePtr> left;
    MutexGuard guard(txLock);
    if (guard.owns()) {
        left.swap(txQueue);
        for (TxNodePtr& n : left) {
            n->result = RESULT_OPERATION_FAIL;
            n->done.set();
        }
    }
}

int32_t Channel::transmitLoop() {
    std::unique_ptr<uint8_t[]> frame = std::make_unique<uint8_t[]>(MAX_FRAME_SIZE);
    while (running.load()) {
        MutexGuard guard(txLock);
        if (!guard.owns()) break;
        if (txQueue.empty() || writing_) {
            guard.unlock();
            txReady.wait(LOOP_WAIT_MS);
            continue;
        }
        TxNodePtr node = txQueue.front();
        txQueue.pop_front();
        writing_ = true;
        guard.unlock();

        node->result = writeMessage(node->message, frame.get(), MAX_FRAME_SIZE);

        guard.relock();
        writing_ = false;
        guard.unlock();
        node->done.set();
    }
    statusBits.fetch_or(TX_STOPPED);
    return 0;
}

bool Channel::ReaderSlot::acquireUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> g(mutex);
    if (deadline == std::chrono::steady_clock::time_point::max()) {
        freed.wait(g, [this] { return !held; });
    } else if (!freed.wait_until(g, deadline, [this] { return !held; })) {
        return false;
    }
    held = true;
    return true;
}

void Channel::ReaderSlot::release() {
    {
        std::lock_guard<std::mutex> g(mutex);
        held = false;
    }
    freed.notify_one();
}

bool Channel::callerActive(std::chrono::steady_clock::duration& left) const {
    if (callerReading_.load()) {
        left = std::chrono::milliseconds(CALLER_LINGER_MS);
        return true;
    }
    const int64_t seen = callerSeenNs_.load();
    const int64_t lingerNs = static_cast<int64_t>(CALLER_LINGER_MS) * 1000000;
    const int64_t since = steadyNowNs() - seen;
    if (seen == 0 || since >= lingerNs) return false;
    left = std::chrono::nanoseconds(lingerNs - since);
    return true;
}

bool Channel::readAndDecode(uint32_t available) {
    if (available > MAX_CHUNK_SIZE) available = MAX_CHUNK_SIZE;
    uint32_t got = 0;
    int32_t r = readBytes(chunk_.get(), available, got);
    if (r < 0 || got == 0) return false;
    dispatchLoop(chunk_.get(), got < available ? got : available);
    return true;
}

int32_t Channel::receiveLoop() {
    bool failed = false;
    while (running.load()) {
        std::chrono::steady_clock::duration left;
        if (callerActive(left)) {
            // Callers read their own answers: stand aside, without a wake-up
            // per request, until they have been quiet for the linger.
            std::unique_lock<std::mutex> g(pauseMutex_);
            pauseCv_.wait_for(g, left, [this] { return !running.load(); });
            continue;
        }
        uint32_t available = 0;
        int32_t r = waitForData(available);
        if (r == RESULT_OPERATION_TIMEOUT) continue;
        if (r < 0) {
            failed = true;
            break;
        }
        if (available == 0) continue;
        // Take the reader's place; a caller may have read these bytes since.
        readerLock_.acquireUntil(std::chrono::steady_clock::time_point::max());
        readerOwner_.store(std::this_thread::get_id());
        struct Release {
            Channel* channel;
            ~Release() {
                channel->readerOwner_.store(std::thread::id());
                channel->readerLock_.release();
            }
        } release{this};
        if (callerActive(left)) continue;
        const uint32_t announced = available;
        r = waitForDataFor(0, available);
        if (r == RESULT_OPERATION_NOT_SUPPORT) {
            r = RESULT_OK;  // no caller reads on this medium: the bytes are still there
            available = announced;
        } else if (r == RESULT_OPERATION_TIMEOUT || (r >= 0 && available == 0)) {
            continue;
        }
        if (r < 0 || !readAndDecode(available)) {
            failed = true;
            break;
        }
    }
    if (failed) {
        MessagePtr empty;
        dispatch(EVT_CHANNEL_BROKEN, empty);
    }
    statusBits.fetch_or(RX_STOPPED);
    return 0;
}

bool Channel::receiveUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
    if (done()) return true;
    if (!running.load() || (statusBits.load() & RX_STOPPED)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    callerReading_.store(true);
    bool broken = false;
    bool unsupported = false;
    if (readerLock_.acquireUntil(deadline)) {
        readerOwner_.store(std::this_thread::get_id());
        while (running.load() && !done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            uint32_t available = 0;
            const uint32_t slice = static_cast<uint32_t>(
                std::min<int64_t>(left.count(), static_cast<int64_t>(CALLER_SLICE_MS)));
            int32_t r = waitForDataFor(slice, available);
            if (r == RESULT_OPERATION_NOT_SUPPORT) {
                unsupported = true;  // the receive thread reads
                break;
            }
            if (r == RESULT_OPERATION_TIMEOUT || (r >= 0 && available == 0)) continue;
            if (r < 0 || !readAndDecode(available)) {
                broken = true;  // the receive thread finds out and reports it
                break;
            }
        }
        readerOwner_.store(std::thread::id());
        readerLock_.release();
    }
    callerSeenNs_.store(broken || unsupported ? 0 : steadyNowNs());
    callerReading_.store(false);
    if (broken || unsupported) {
        std::lock_guard<std::mutex> g(pauseMutex_);
        pauseCv_.notify_all();
    }
    return done();
}

int32_t Channel::dispatchLoop(const uint8_t* data, uint32_t length) {
    if (protocol && length) protocol->decode(data, 0, static_cast<uint16_t>(length));
    return 0;
}

int Channel::onProtocolMessage(uint32_t, MessageDispatcher*, MessagePtr& message) {
    dispatch(EVT_MESSAGE, message);
    return 0;
}

int Channel::onProtocolBadFrame(uint32_t, MessageDispatcher*, MessagePtr& message) {
    dispatch(EVT_BAD_FRAME, message);
    return 0;
}

}  // namespace net
}  // namespace zorn
