// The transmit queue: frames that find another write ahead of them, and
// posted ones, wait here in order and are written by the transmit thread.

#include "net/Channel.h"

namespace zorn {
namespace net {

struct Channel::TxNode {
    explicit TxNode(const MessagePtr& m) : message(m) {}
    MessagePtr message;
    bool done = false;  // guarded by txMutex_
    int32_t result = RESULT_OPERATION_FAIL;
};

int32_t Channel::post(const MessagePtr& message) {
    if (!running.load()) return RESULT_OPERATION_FAIL;
    if (statusBits.load() & TX_STOPPED) return RESULT_OPERATION_NOT_SUPPORT;
    {
        std::lock_guard<std::mutex> lock(txMutex_);
        if (!running.load()) return RESULT_OPERATION_FAIL;
        txQueue_.push_back(std::make_shared<TxNode>(message));
    }
    txReady_.notify_one();
    return RESULT_OK;
}

int32_t Channel::queueAndWait(std::unique_lock<std::mutex>& lock, const MessagePtr& message) {
    const TxNodePtr node = std::make_shared<TxNode>(message);
    txQueue_.push_back(node);
    txReady_.notify_one();
    // Every write ahead is bounded by the medium, so while the channel runs
    // the wait ends; once it stops, stop() fails what is still queued.
    auto done = [&node] { return node->done; };
    for (;;) {
        if (txDone_.wait_for(lock, std::chrono::milliseconds(LOOP_WAIT_MS), done)) return node->result;
        if (!running.load()) {
            return txDone_.wait_for(lock, std::chrono::milliseconds(LOOP_WAIT_MS), done) ? node->result
                                                                                        : RESULT_OPERATION_FAIL;
        }
    }
}

void Channel::finishCallerWrite() {
    bool more;
    {
        std::lock_guard<std::mutex> lock(txMutex_);
        writing_ = false;
        more = !txQueue_.empty();
    }
    if (more) txReady_.notify_one();
}

void Channel::transmitLoop() {
    std::unique_ptr<uint8_t[]> frame = std::make_unique<uint8_t[]>(MAX_FRAME_SIZE);
    std::unique_lock<std::mutex> lock(txMutex_);
    auto ready = [this] { return !running.load() || (!txQueue_.empty() && !writing_); };
    while (running.load()) {
        if (!txReady_.wait_for(lock, std::chrono::milliseconds(LOOP_WAIT_MS), ready) || !running.load()) continue;
        const TxNodePtr node = txQueue_.front();
        txQueue_.pop_front();
        writing_ = true;
        lock.unlock();

        const int32_t result = writeMessage(node->message, frame.get(), MAX_FRAME_SIZE);

        lock.lock();
        writing_ = false;
        node->result = result;
        node->done = true;
        txDone_.notify_all();
    }
    statusBits.fetch_or(TX_STOPPED);
}

void Channel::failQueued() {
    {
        std::lock_guard<std::mutex> lock(txMutex_);
        for (const TxNodePtr& node : txQueue_) {
            node->result = RESULT_OPERATION_FAIL;
            node->done = true;
        }
        txQueue_.clear();
    }
    txDone_.notify_all();
}

}  // namespace net
}  // namespace zorn
