#pragma once

// doctor's watcher of the link: it passes everything on to the console's
// own watcher (-t, --decode, --capture) and keeps what the verdicts need
// and the link does not count: the first bytes that came, as they came, and
// how many frames that came back were ones the console had written itself
// (TX looped back to RX).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "net/LinkObserver.h"

namespace zorn {
namespace orbitane {
namespace test {

class DoctorWatch : public zorn::net::LinkObserver {
public:
    // Bytes of the sample kept from what came first.
    static constexpr size_t SAMPLE_BYTES = 64;

    // `next` (may be null) sees every call as well; it must outlive this.
    explicit DoctorWatch(zorn::net::LinkObserver* next) : next_(next) {}

    void onSent(const zorn::net::SentFrame& frame) override;
    void onRead(const uint8_t* bytes, size_t size, zorn::net::TimePoint at) override;
    void onReceived(const zorn::net::ReceivedFrame& frame) override;

    const std::vector<uint8_t>& sample() const { return sample_; }
    // Whole frames read back byte for byte as the console wrote them.
    uint64_t echoes() const { return echoes_; }

private:
    // The frames written most recently, to tell an echo by.
    static constexpr size_t REMEMBERED_FRAMES = 8;

    zorn::net::LinkObserver* next_;
    std::deque<std::vector<uint8_t>> sent_;
    std::vector<uint8_t> sample_;
    uint64_t echoes_ = 0;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
