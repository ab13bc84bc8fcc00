#include "net/Channel.h"

#include <chrono>

namespace zorn {
namespace net {

Channel::Channel(Protocol* p) : protocol(p), running(false), statusBits(0) {
    if (!protocol) return;
    protocol->reset();
    AbsMessageHandler* h = new MessageHandler<Channel>(EVT_MESSAGE, this, &Channel::onProtocolMessage);
    if (protocol->addHandler(h)) protocolHandlers.push_back(h);
    else delete h;
    h = new MessageHandler<Channel>(EVT_BAD_FRAME, this, &Channel::onProtocolBadFrame);
    if (protocol->addHandler(h)) protocolHandlers.push_back(h);
    else delete h;
}

Channel::~Channel() {
    stop();
    if (protocol) {
        for (AbsMessageHandler* h : protocolHandlers) protocol->removeHandler(h);
    }
    protocolHandlers.clear();
    txQueue.clear();
    rxQueue.clear();
}

int32_t Channel::enqueue(const MessagePtr& message, TxNodePtr& node) {
    if (!running.load()) return RESULT_OPERATION_FAIL;
    if (statusBits.load() & TX_STOPPED) return RESULT_OPERATION_NOT_SUPPORT;
    if (!txLock.lock()) return RESULT_OPERATION_FAIL;
    if (!running.load()) {
        txLock.unlock();
        return RESULT_OPERATION_FAIL;
    }
    node = std::make_shared<TxNode>(message);
    txQueue.push_back(node);
    txLock.unlock();
    txReady.set();
    return RESULT_OK;
}

int32_t Channel::send(const MessagePtr& message) {
    TxNodePtr node;
    int32_t r = enqueue(message, node);
    if (r != RESULT_OK) return r;
    if (node->done.wait(WAIT_INFINITE) != WAIT_SIGNALED) return RESULT_OPERATION_FAIL;
    return node->result;
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

void Channel::start() {
    std::lock_guard<std::mutex> g(lifecycle_);
    if (running.load()) return;
    clearInterrupt();
    running.store(true);
    uint32_t bits = statusBits.load();
    if (!(bits & TX_STOPPED)) txThread = std::thread([this] { transmitLoop(); });
    if (bits & RX_STOPPED) return;
    rxThread = std::thread([this] { receiveLoop(); });
    dispatchThread = std::thread([this] { dispatchLoop(); });
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
    rxReady.set();
    interruptWait();
    joinThread(txThread);
    joinThread(dispatchThread);
    joinThread(rxThread);

    std::list<TxNodePtr> left;
    if (txLock.lock()) {
        left.swap(txQueue);
        for (TxNodePtr& n : left) {
            n->result = RESULT_OPERATION_FAIL;
            n->done.set();
        }
        txLock.unlock();
    }
}

int32_t Channel::transmitLoop() {
    std::unique_ptr<uint8_t[]> frame(new uint8_t[MAX_FRAME_SIZE]);
    while (running.load()) {
        if (!txLock.lock()) break;
        if (txQueue.empty()) {
            txLock.unlock();
            txReady.wait(LOOP_WAIT_MS);
            continue;
        }
        TxNodePtr node = txQueue.front();
        txQueue.pop_front();
        txLock.unlock();

        int32_t result = RESULT_OPERATION_FAIL;
        uint32_t size = protocol ? protocol->encodedSize(node->message) : 0;
        uint32_t written = 0;
        if (size != 0 && size <= MAX_FRAME_SIZE) {
            written = MAX_FRAME_SIZE;
            protocol->encode(node->message, frame.get(), written);
            if (written > MAX_FRAME_SIZE) written = 0;  // a misbehaving protocol
        }
        if (written == 0) {
            dispatch(EVT_SEND_FAILED, node->message);
        } else {
            result = writeBytes(frame.get(), written);
            if (result == RESULT_OPERATION_FAIL) dispatch(EVT_SEND_FAILED, node->message);
            else if (result == RESULT_OPERATION_TIMEOUT) dispatch(EVT_SEND_TIMEOUT, node->message);
        }
        node->result = result;
        node->done.set();
    }
    statusBits.fetch_or(TX_STOPPED);
    return 0;
}

int32_t Channel::receiveLoop() {
    bool failed = false;
    while (running.load()) {
        uint32_t available = 0;
        int32_t r = waitForData(available);
        if (r == RESULT_OPERATION_TIMEOUT) continue;
        if (r < 0) {
            failed = true;
            break;
        }
        if (available == 0) continue;
        if (available > MAX_CHUNK_SIZE) available = MAX_CHUNK_SIZE;
        BufferPtr buf = std::make_shared<Buffer>(available);
        uint32_t got = 0;
        r = readBytes(buf->data, available, got);
        if (r < 0 || got == 0) {
            failed = true;
            break;
        }
        buf->length = got < available ? got : available;
        if (rxLock.lock()) {
            rxQueue.push_back(buf);
            rxLock.unlock();
            rxReady.set();
        }
    }
    if (failed) {
        MessagePtr empty;
        dispatch(EVT_CHANNEL_BROKEN, empty);
    }
    statusBits.fetch_or(RX_STOPPED);
    return 0;
}

int32_t Channel::dispatchLoop() {
    while (running.load()) {
        if (!rxLock.lock()) break;
        if (rxQueue.empty()) {
            rxLock.unlock();
            rxReady.wait(LOOP_WAIT_MS);
            continue;
        }
        BufferPtr buf = rxQueue.front();
        rxQueue.pop_front();
        rxLock.unlock();
        if (protocol && buf->length) protocol->decode(buf->data, 0, static_cast<uint16_t>(buf->length));
    }
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
