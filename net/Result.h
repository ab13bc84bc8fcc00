#pragma once

#include "net/arch/Result.h"

namespace zorn {
namespace net {
using ::zorn::arch::net::RESULT_OK;
using ::zorn::arch::net::RESULT_INVALID_DATA;
using ::zorn::arch::net::RESULT_OPERATION_FAIL;
using ::zorn::arch::net::RESULT_OPERATION_TIMEOUT;
using ::zorn::arch::net::RESULT_OPERATION_NOT_SUPPORT;
using ::zorn::arch::net::RESULT_BUFFER_TOO_SMALL;
}  // namespace net
}  // namespace zorn
