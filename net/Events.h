#pragma once

#include <cstdint>

namespace zorn {
namespace net {

// Event codes shared by protocol, channel and endpoint. The argument is
// always a reference to a MessagePtr (empty for EVT_CHANNEL_BROKEN).
constexpr uint32_t EVT_MESSAGE = 0;
constexpr uint32_t EVT_BAD_FRAME = 1;
constexpr uint32_t EVT_SEND_FAILED = 2;
constexpr uint32_t EVT_SEND_TIMEOUT = 3;
constexpr uint32_t EVT_CHANNEL_BROKEN = 4;

}  // namespace net
}  // namespace zorn
