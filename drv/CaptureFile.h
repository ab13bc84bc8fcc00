#pragma once

// Capture files of the control bus: pcap files (written and read with
// libpcap) of link type DLT_USER0 (147), one packet per frame. A packet is
// one direction byte (CAPTURE_HOST_TO_BASE or CAPTURE_BASE_TO_HOST)
// followed by the frame's bytes as they went over the line, checksum
// included, good or not; bytes the receiver skipped (noise, a frame start
// it gave up) are a packet of their own with the direction byte
// CAPTURE_SKIPPED, so every byte that came is in the file once. Captures
// written before skipped bytes were marked hold them as CAPTURE_BASE_TO_HOST
// packets that do not start a frame. packaging/orbitane.lua shows such files in
// Wireshark. CaptureWriter (CaptureWriter.h) writes them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "drv/CaptureWriter.h"

namespace zorn {
namespace drv {

// DLT_USER0: a link type set aside for private use.
constexpr int CAPTURE_LINK_TYPE = 147;
constexpr uint8_t CAPTURE_HOST_TO_BASE = 0;
constexpr uint8_t CAPTURE_BASE_TO_HOST = 1;
constexpr uint8_t CAPTURE_SKIPPED = 2;  // from the base, outside any frame

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
