#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nivo {
namespace system {
namespace serialization {

// A byte stream.
class IStream {
public:
    virtual ~IStream() = default;
    // Copies `count` bytes to `destination`; returns the count copied.
    virtual size_t read(void* destination, size_t count) = 0;
    // Writes `count` bytes from `source`; returns the count written.
    virtual size_t write(const void* source, size_t count) = 0;
    virtual bool isEof() const { return false; }
};

// Reads and appends to a byte vector that it does not own. A read returns
// either the whole request or nothing (and then does not advance).
class BufferStreamAdaptor : public IStream {
public:
    explicit BufferStreamAdaptor(std::vector<uint8_t>* buffer) : buffer_(buffer) {}

    size_t read(void* destination, size_t count) override;
    size_t write(const void* source, size_t count) override;
    bool isEof() const override;

    size_t position() const { return position_; }

private:
    std::vector<uint8_t>* buffer_;
    size_t position_ = 0;
};

}  // namespace serialization
}  // namespace system
}  // namespace nivo
