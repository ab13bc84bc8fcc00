// A request on the caller's thread, in the order it happens: the caller
// writes its own frame (send, writeMessage), then reads and decodes the
// medium itself holding the reader slot (receiveUntil, readAndDecode) until
// the decoded answer has reached the endpoint (onProtocolMessage).

#include "net/Channel.h"

#include <algorithm>

namespace zorn {
namespace net {

int32_t Channel::send(const MessagePtr& message) {
    if (!running.load()) return RESULT_OPERATION_FAIL;
    if (statusBits.load() & TX_STOPPED) return RESULT_OPERATION_NOT_SUPPORT;
    {
        std::unique_lock<std::mutex> lock(txMutex_);
        if (!running.load()) return RESULT_OPERATION_FAIL;
        // Frames queued or being written go first: this one waits its turn.
        if (!txQueue_.empty() || writing_) return queueAndWait(lock, message);
        writing_ = true;
    }
    // Nothing ahead: write here and spare the hand-off to the transmit thread.
    uint8_t scratch[SMALL_FRAME_SIZE];
    const int32_t result = writeMessage(message, scratch, sizeof scratch);
    finishCallerWrite();
    return result;
}

int32_t Channel::writeMessage(const MessagePtr& message, uint8_t* scratch, uint32_t scratchSize) {
    const uint32_t size = protocol ? protocol->encodedSize(message) : 0;
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
    const int32_t result = writeBytes(frame, written);
    if (result == RESULT_OPERATION_FAIL) dispatch(EVT_SEND_FAILED, const_cast<MessagePtr&>(message));
    else if (result == RESULT_OPERATION_TIMEOUT) dispatch(EVT_SEND_TIMEOUT, const_cast<MessagePtr&>(message));
    return result;
}

bool Channel::receiveUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
    if (done()) return true;
    if (!running.load() || (statusBits.load() & RX_STOPPED)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    reader_.callerStarts();
    bool handOver = false;  // the receive thread must read from now on
    if (ReaderSlot::Hold hold = reader_.acquireUntil(deadline)) {
        if (running.load()) handOver = lookFirst() < 0;  // the receive thread finds out and reports it
        while (!handOver && running.load() && !done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            const uint32_t slice =
                static_cast<uint32_t>(std::min<int64_t>(left.count(), static_cast<int64_t>(CALLER_SLICE_MS)));
            uint32_t available = 0;
            const int32_t r = waitForDataFor(slice, available);
            if (r == RESULT_OPERATION_NOT_SUPPORT) {
                handOver = true;  // this medium lets no caller read
                break;
            }
            if (r == RESULT_OPERATION_TIMEOUT || (r >= 0 && available == 0)) continue;
            if (r < 0 || !readAndDecode(available)) {
                handOver = true;  // the receive thread finds out and reports it
                break;
            }
        }
    }
    reader_.callerEnds(!handOver);
    if (handOver) wakePaused();
    return done();
}

bool Channel::readAndDecode(uint32_t available) {
    if (available > MAX_CHUNK_SIZE) available = MAX_CHUNK_SIZE;
    uint32_t got = 0;
    const int32_t r = readBytes(chunk_.get(), available, got);
    if (r == RESULT_INVALID_DATA && got == 0) return true;  // spoiled input dropped: nothing to decode
    if (r == RESULT_OPERATION_TIMEOUT && got == 0) return true;  // nothing was waiting after all
    if (r < 0 || got == 0) return false;
    if (protocol) protocol->decode(chunk_.get(), 0, static_cast<uint16_t>(std::min(got, available)));
    return true;
}

int Channel::lookFirst() {
    // On a link whose answer is often in by the time the write returns
    // (loopback TCP, when the peer runs at once) a read without a wait spares
    // the wait's system call. Where it never is, that read would be one more:
    // after a look that found nothing the caller waits first, and looks
    // again only now and then, in case the link has changed its pace.
    if (!lookFirst_ && ++sinceLook_ < LOOK_FIRST_RETRY) return 0;
    sinceLook_ = 0;
    uint32_t got = 0;
    const int32_t r = readNow(chunk_.get(), MAX_CHUNK_SIZE, got);
    if (got == 0 &&
        (r == RESULT_OPERATION_TIMEOUT || r == RESULT_OPERATION_NOT_SUPPORT || r == RESULT_INVALID_DATA)) {
        lookFirst_ = false;
        return 0;
    }
    if (r < 0 || got == 0) return -1;
    lookFirst_ = true;
    if (protocol) protocol->decode(chunk_.get(), 0, static_cast<uint16_t>(std::min(got, MAX_CHUNK_SIZE)));
    return 1;
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
