#include "net/Message.h"

#include <cstring>

namespace zorn {
namespace net {

Message::Message()
    : source(0), address(0), flags(MSG_FLAG_CHECKSUM), ext(0), length(1), cmd(0), checksum(0),
      data(nullptr), capacity(0) {}

Message::Message(uint8_t c, const uint8_t* src, int32_t len)
    : source(0), address(0), flags(MSG_FLAG_CHECKSUM), ext(0), length(0), cmd(c), checksum(0),
      data(nullptr), capacity(0) {
    if (len < -1) len = 0;
    length = static_cast<uint32_t>(len + 1);
    if (len > 0) {
        data = new uint8_t[len];
        capacity = static_cast<uint32_t>(len);
        if (src) std::memcpy(data, src, static_cast<size_t>(len));
        else std::memset(data, 0, static_cast<size_t>(len));
    }
}

Message::Message(const Message& other) : data(nullptr), capacity(0) { copyFrom(other); }

Message& Message::operator=(const Message& other) {
    if (this != &other) {
        delete[] data;
        data = nullptr;
        capacity = 0;
        copyFrom(other);
    }
    return *this;
}

void Message::copyFrom(const Message& other) {
    source = other.source;
    address = other.address;
    flags = other.flags;
    ext = other.ext;
    length = other.length;
    cmd = other.cmd;
    checksum = other.checksum;
    uint32_t n = other.payloadLength();
    if (n > 0) {
        data = new uint8_t[n];
        capacity = n;
        uint32_t have = other.data ? (other.capacity < n ? other.capacity : n) : 0;
        if (have) std::memcpy(data, other.data, have);
        if (have < n) std::memset(data + have, 0, n - have);
    }
}

Message::~Message() { delete[] data; }

void Message::resize(int32_t n) {
    if (n < 0) n = 0;
    uint32_t want = static_cast<uint32_t>(n);
    length = want + 1;
    if (capacity == want || (capacity / 2 < want && want < capacity)) return;
    delete[] data;
    data = nullptr;
    capacity = 0;
    if (want > 0) {
        data = new uint8_t[want];
        capacity = want;
    }
}

void Message::clear() {
    delete[] data;
    data = nullptr;
    capacity = 0;
    length = 1;
}

}  // namespace net
}  // namespace zorn
