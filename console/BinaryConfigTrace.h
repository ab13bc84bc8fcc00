#pragma once

// The binary configuration in the decoded trace: the keys and values the
// config command reads from the answer to getBinaryConfig. The frame
// decoder of drv/ cannot read it (the codec lives in config/, above drv/),
// so the console's trace adds it to the decoded answer.

#include <cstddef>
#include <cstdint>

#include "drv/FrameDecoder.h"

namespace zorn {
namespace orbitane {
namespace test {

// Adds the configuration to `answer`, the decoded answer to getBinaryConfig:
// to its text ("binary configuration: base.model_name="ORB-BASE", ...") and
// one field per value, named by its path. Read as config reads it (its
// first 2048 bytes); a stream config cannot read is said to be so.
void describeBinaryConfig(zorn::drv::DecodedFrame& answer, const uint8_t* payload, size_t size);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
