#pragma once

// Capture files of the control bus: pcap files (written and read with
// libpcap) of link type DLT_USER0 (147), one packet per frame. A packet is
// one direction byte (CAPTURE_HOST_TO_BASE or CAPTURE_BASE_TO_HOST)
// followed by the frame's bytes as they went over the line, checksum
// included; bytes the receiver skipped while hunting for a frame start are
// a packet of their own. packaging/orbitane.lua shows such files in
// Wireshark.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zorn {
namespace drv {

// DLT_USER0: a link type set aside for private use.
constexpr int CAPTURE_LINK_TYPE = 147;
constexpr uint8_t CAPTURE_HOST_TO_BASE = 0;
constexpr uint8_t CAPTURE_BASE_TO_HOST = 1;

// Writes packets as they happen; each one is flushed to the file at once, so
// a capture of a session that crashed or was killed is readable up to its
// last whole packet. Safe to call from several threads.
class CaptureWriter {
public:
    CaptureWriter();
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates (or truncates) the file; false with `error` set when it cannot.
    bool open(const std::string& path, std::string& error);
    // One packet, stamped with the time of day now.
    void write(uint8_t direction, const uint8_t* data, size_t size);

private:
    struct Handles;
    std::mutex mutex_;
    std::unique_ptr<Handles> handles_;
};

struct CaptureRecord {
    int64_t timeNs = 0;  // time of day of the packet
    uint8_t direction = CAPTURE_HOST_TO_BASE;
    std::vector<uint8_t> bytes;  // without the direction byte
};

// Reads every packet of a capture file. False with `error` set for a file
// that cannot be opened, is no capture, has another link type, ends inside
// a packet, or holds a packet that is not of this encoding.
bool readCapture(const std::string& path, std::vector<CaptureRecord>& out, std::string& error);

}  // namespace drv
}  // namespace zorn
