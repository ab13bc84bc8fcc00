#include "config/BufferStream.h"

#include <cstring>

namespace nivo {
namespace system {
namespace serialization {

size_t BufferStreamAdaptor::read(void* destination, size_t count) {
    const size_t size = buffer_->size();
    if (position_ > size || size - position_ < count || count == 0) {
        return 0;
    }
    std::memcpy(destination, buffer_->data() + position_, count);
    position_ += count;
    return count;
}

size_t BufferStreamAdaptor::write(const void* source, size_t count) {
    if (count == 0) {
        return 0;
    }
    const size_t start = buffer_->size();
    buffer_->resize(start + count);
    std::memcpy(buffer_->data() + start, source, count);
    return count;
}

bool BufferStreamAdaptor::isEof() const {
    return position_ == buffer_->size();
}

}  // namespace serialization
}  // namespace system
}  // namespace nivo
