#include "net/Message.h"

namespace zorn {
namespace net {

Message::Message() : source(0), address(0), flags(MSG_FLAG_CHECKSUM), ext(0), length(1), cmd(0), checksum(0) {}

Message::Message(uint8_t c, const uint8_t* src, int32_t len)
    : source(0), address(0), flags(MSG_FLAG_CHECKSUM), ext(0), length(0), cmd(c), checksum(0) {
    if (len < -1) len = 0;
    length = static_cast<uint32_t>(len + 1);
    if (len > 0) {
        if (src) payload.assign(src, src + len);
        else payload.assign(static_cast<size_t>(len), 0);
    }
}

void Message::resize(int32_t n) {
    const size_t want = n > 0 ? static_cast<size_t>(n) : 0;
    length = static_cast<uint32_t>(want + 1);
    const size_t held = payload.capacity();
    const bool keep = held == want || (held / 2 < want && want < held);
    if (!keep) {
        std::vector<uint8_t>().swap(payload);
        payload.reserve(want);
    }
    payload.resize(want);
}

void Message::clear() {
    std::vector<uint8_t>().swap(payload);
    length = 1;
}

}  // namespace net
}  // namespace zorn
