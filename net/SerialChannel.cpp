#include "net/SerialChannel.h"

namespace zorn {
namespace net {

using ::zorn::hal::RXTX_ERROR;
using ::zorn::hal::RXTX_LINE_ERROR;
using ::zorn::hal::RXTX_OK;
using ::zorn::hal::RXTX_TIMEOUT;

SerialChannel::SerialChannel(Protocol* p) : SerialChannel(p, std::make_unique<::zorn::arch::net::raw_serial>()) {}

SerialChannel::SerialChannel(Protocol* p, std::unique_ptr<::zorn::arch::net::raw_serial> port)
    : Channel(p), serial(port ? std::move(port) : std::make_unique<::zorn::arch::net::raw_serial>()) {}

SerialChannel::~SerialChannel() {
    stop();
    serial->close();
}

uint32_t SerialChannel::sendBoundMs(uint32_t length, uint32_t baud) {
    if (baud == 0) baud = ::zorn::arch::net::raw_serial::DEFAULT_BAUD;
    const uint64_t wireMs = (static_cast<uint64_t>(length) * 10 * 1000 + baud - 1) / baud;
    return static_cast<uint32_t>(wireMs) + SEND_MARGIN_MS;
}

int32_t SerialChannel::writeBytes(const uint8_t* data, uint32_t length) {
    if (!serial->is_open()) return RESULT_OPERATION_FAIL;
    if (serial->send_data(data, length) == RXTX_ERROR) return RESULT_OPERATION_FAIL;
    const int32_t r = serial->wait_for_sent(sendBoundMs(length, serial->baudRate()), nullptr);
    if (r == RXTX_TIMEOUT) return RESULT_OPERATION_TIMEOUT;
    if (r != RXTX_OK) return RESULT_OPERATION_FAIL;
    return RESULT_OK;
}

int32_t SerialChannel::readBytes(uint8_t* data, uint32_t capacity, uint32_t& got) {
    got = 0;
    if (!serial->is_open()) return RESULT_OPERATION_FAIL;
    // What is waiting, in one read: the wait before it does not count the queue.
    const int32_t n = serial->read_available(data, capacity);
    if (n == RXTX_LINE_ERROR) return RESULT_INVALID_DATA;  // the spoiled input was dropped
    if (n < 0) return RESULT_OPERATION_FAIL;
    if (n == 0) return RESULT_OPERATION_TIMEOUT;  // nothing was waiting after all
    got = static_cast<uint32_t>(n);
    return RESULT_OK;
}

int32_t SerialChannel::waitForData(uint32_t& available) { return waitForDataFor(WAIT_MS, available); }

int32_t SerialChannel::waitForDataFor(uint32_t ms, uint32_t& available) {
    available = 0;
    if (!serial->is_open()) return RESULT_OPERATION_FAIL;
    // Input is waiting: the read takes what is there, up to a chunk, so the
    // queue is not counted first (one system call fewer a reading).
    const int32_t r = serial->wait_readable(ms);
    if (r == RXTX_ERROR) return RESULT_OPERATION_FAIL;
    if (r == RXTX_TIMEOUT) return RESULT_OPERATION_TIMEOUT;
    available = Channel::MAX_CHUNK_SIZE;
    return RESULT_OK;
}

}  // namespace net
}  // namespace zorn
