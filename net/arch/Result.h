#pragma once

#include <cstdint>

namespace zorn {
namespace arch {
namespace net {

// Result codes of the control-bus path: negative means failure.
constexpr int32_t RESULT_OK = 0;
constexpr int32_t RESULT_INVALID_DATA = static_cast<int32_t>(0x80008000u);
constexpr int32_t RESULT_OPERATION_FAIL = static_cast<int32_t>(0x80008001u);
constexpr int32_t RESULT_OPERATION_TIMEOUT = static_cast<int32_t>(0x80008002u);
constexpr int32_t RESULT_OPERATION_NOT_SUPPORT = static_cast<int32_t>(0x80008004u);
constexpr int32_t RESULT_BUFFER_TOO_SMALL = static_cast<int32_t>(0x80008006u);

}  // namespace net
}  // namespace arch
}  // namespace zorn
