#include "net/TCPChannel.h"

namespace zorn {
namespace net {

TCPChannel::TCPChannel(Protocol* p) : Channel(p), socket(nullptr) { setStatusBits(RX_STOPPED | TX_STOPPED); }

TCPChannel::~TCPChannel() {
    std::lock_guard<std::mutex> guard(bindLock);
    stop();
}

int32_t TCPChannel::bind(StreamSocket* s) {
    std::lock_guard<std::mutex> guard(bindLock);
    stop();
    socket = nullptr;
    if (!s) return RESULT_INVALID_DATA;
    clearStopped();
    socket = s;
    start();
    sync();
    return RESULT_OK;
}

int32_t TCPChannel::writeBytes(const uint8_t* data, uint32_t length) {
    if (!socket) return RESULT_OPERATION_FAIL;
    return socket->sendOrWake(data, length, SEND_TIMEOUT_MS, wake.fd());
}

int32_t TCPChannel::readBytes(uint8_t* data, uint32_t capacity, uint32_t& got) {
    got = 0;
    if (!socket) return RESULT_OPERATION_FAIL;
    return socket->recv(data, capacity, got);
}

int32_t TCPChannel::readNow(uint8_t* data, uint32_t capacity, uint32_t& got) {
    got = 0;
    if (!socket) return RESULT_OPERATION_FAIL;
    return socket->recvNow(data, capacity, got);
}

int32_t TCPChannel::waitForData(uint32_t& available) { return waitForDataFor(WAIT_MS, available); }

int32_t TCPChannel::waitForDataFor(uint32_t ms, uint32_t& available) {
    available = 0;
    if (!socket) return RESULT_OPERATION_FAIL;
    int32_t r = socket->waitForReadOrWake(ms, wake.fd());
    if (r == RESULT_OK) available = CHUNK_SIZE;
    return r;
}

}  // namespace net
}  // namespace zorn
