#include "console/DoctorWatch.h"

#include <algorithm>

namespace zorn {
namespace orbitane {
namespace test {

void DoctorWatch::onSent(const zorn::net::SentFrame& frame) {
    const std::vector<uint8_t> bytes(frame.bytes, frame.bytes + frame.size);
    if (std::find(sent_.begin(), sent_.end(), bytes) == sent_.end()) {
        sent_.push_back(bytes);
        if (sent_.size() > REMEMBERED_FRAMES) sent_.pop_front();
    }
    if (next_ != nullptr) next_->onSent(frame);
}

void DoctorWatch::onRead(const uint8_t* bytes, size_t size, zorn::net::TimePoint at) {
    const size_t room = SAMPLE_BYTES - std::min(SAMPLE_BYTES, sample_.size());
    sample_.insert(sample_.end(), bytes, bytes + std::min(room, size));
    if (next_ != nullptr) next_->onRead(bytes, size, at);
}

void DoctorWatch::onReceived(const zorn::net::ReceivedFrame& frame) {
    const zorn::net::FramerEvent& event = *frame.event;
    if (event.kind == zorn::net::FramerEvent::Kind::Frame && frame.fate == zorn::net::Fate::Message) {
        const std::vector<uint8_t> bytes(event.bytes, event.bytes + event.size);
        if (std::find(sent_.begin(), sent_.end(), bytes) != sent_.end()) ++echoes_;
    }
    if (next_ != nullptr) next_->onReceived(frame);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
