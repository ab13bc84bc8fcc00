// SocketAddress over the POSIX socket-address structures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "net/arch/Socket.h"

namespace zorn {
namespace arch {
namespace net {

static_assert(sizeof(sockaddr_storage) == SocketAddress::STORAGE_SIZE, "storage block is 128 bytes");

namespace {

sockaddr_storage* ss(uint8_t* p) { return reinterpret_cast<sockaddr_storage*>(p); }
sockaddr_in* v4(uint8_t* p) { return reinterpret_cast<sockaddr_in*>(p); }
sockaddr_in6* v6(uint8_t* p) { return reinterpret_cast<sockaddr_in6*>(p); }

}  // namespace

SocketAddress::SocketAddress() : storage_(std::make_unique<uint8_t[]>(STORAGE_SIZE)), valid_(true) {
    ss(storage_.get())->ss_family = AF_INET;
}

SocketAddress::SocketAddress(const char* host, uint16_t port) : SocketAddress() {
    setAddress(host, ADDRESS_TYPE_IPV4);
    setPort(port);
}

SocketAddress::SocketAddress(const std::string& host, uint16_t port) : SocketAddress(host.c_str(), port) {}

SocketAddress::SocketAddress(const SocketAddress& other)
    : storage_(std::make_unique<uint8_t[]>(STORAGE_SIZE)), valid_(other.valid_) {
    std::memcpy(storage_.get(), other.storage_.get(), STORAGE_SIZE);
}

SocketAddress& SocketAddress::operator=(const SocketAddress& other) {
    if (this != &other) {
        std::memcpy(storage_.get(), other.storage_.get(), STORAGE_SIZE);
        valid_ = other.valid_;
    }
    return *this;
}

SocketAddress::~SocketAddress() = default;

int32_t SocketAddress::getAddressType() const {
    return ss(storage_.get())->ss_family == AF_INET6 ? ADDRESS_TYPE_IPV6 : ADDRESS_TYPE_IPV4;
}

uint32_t SocketAddress::rawLength() const {
    return ss(storage_.get())->ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

uint16_t SocketAddress::getPort() const {
    // The port sits at bytes 2 and 3 for both families.
    return ntohs(v4(storage_.get())->sin_port);
}

int32_t SocketAddress::setPort(uint16_t port) {
    sa_family_t f = ss(storage_.get())->ss_family;
    if (f != AF_INET && f != AF_INET6) return RESULT_OPERATION_FAIL;
    v4(storage_.get())->sin_port = htons(port);
    return RESULT_OK;
}

int32_t SocketAddress::setAddress(const char* text, int32_t type) {
    uint16_t port = getPort();
    int32_t result = RESULT_OK;
    if (type == ADDRESS_TYPE_IPV4) {
        in_addr a;
        std::memset(&a, 0, sizeof a);
        bool ok = text && ::inet_pton(AF_INET, text, &a) == 1;
            v4(storage_.get())->sin_family = AF_INET;
        if (ok) v4(storage_.get())->sin_addr = a;
        result = ok ? RESULT_OK : RESULT_INVALID_DATA;
    } else if (type == ADDRESS_TYPE_IPV6) {
        in6_addr a;
        std::memset(&a, 0, sizeof a);
        bool ok = text && ::inet_pton(AF_INET6, text, &a) == 1;
            v6(storage_.get())->sin6_family = AF_INET6;
        if (ok) v6(storage_.get())->sin6_addr = a;
        result = ok ? RESULT_OK : RESULT_INVALID_DATA;
    } else {
        return RESULT_INVALID_DATA;
    }
    setPort(port);
    valid_ = result == RESULT_OK;
    return result;
}

int32_t SocketAddress::getAddress(char* buffer, uint32_t size) const {
    if (!buffer || size == 0) return RESULT_OPERATION_FAIL;
    std::memset(buffer, 0, size);
    const char* r = nullptr;
    if (ss(storage_.get())->ss_family == AF_INET) r = ::inet_ntop(AF_INET, &v4(storage_.get())->sin_addr, buffer, size);
    else if (ss(storage_.get())->ss_family == AF_INET6) r = ::inet_ntop(AF_INET6, &v6(storage_.get())->sin6_addr, buffer, size);
    return r ? RESULT_OK : RESULT_OPERATION_FAIL;
}

int32_t SocketAddress::getRawAddress(uint8_t* out, uint32_t size) const {
    sa_family_t f = ss(storage_.get())->ss_family;
    if (f == AF_INET) {
        if (!out || size < 4) return RESULT_BUFFER_TOO_SMALL;
        std::memcpy(out, &v4(storage_.get())->sin_addr, 4);
        return RESULT_OK;
    }
    if (f == AF_INET6) {
        if (!out || size < 16) return RESULT_BUFFER_TOO_SMALL;
        std::memcpy(out, &v6(storage_.get())->sin6_addr, 16);
        return RESULT_OK;
    }
    return RESULT_OPERATION_FAIL;
}

int32_t SocketAddress::setLoopback(int32_t type) {
    if (type == ADDRESS_TYPE_IPV4) return setAddress("127.0.0.1", type);
    if (type == ADDRESS_TYPE_IPV6) return setAddress("::1", type);
    return RESULT_INVALID_DATA;
}

int32_t SocketAddress::setBroadcast() { return setAddress("255.255.255.255", ADDRESS_TYPE_IPV4); }

int32_t SocketAddress::setAny(int32_t type) {
    if (type == ADDRESS_TYPE_IPV4) return setAddress("0.0.0.0", type);
    if (type == ADDRESS_TYPE_IPV6) return setAddress("::", type);
    return RESULT_INVALID_DATA;
}

std::string SocketAddress::toString() const {
    char text[64];
    if (getAddress(text, sizeof text) != RESULT_OK) return "?";
    std::string s = getAddressType() == ADDRESS_TYPE_IPV6 ? "[" + std::string(text) + "]" : std::string(text);
    return s + ":" + std::to_string(getPort());
}

}  // namespace net
}  // namespace arch
}  // namespace zorn
