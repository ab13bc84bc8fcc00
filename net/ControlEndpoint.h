#pragma once

#include <cstdint>

#include "net/Endpoint.h"

namespace zorn {
namespace net {

// The endpoint of the base's control bus: every request of the driver and
// the commands goes through one.
class ControlEndpoint : public Endpoint {
public:
    static constexpr int32_t REQUEST_TIMEOUT_MS = ENDPOINT_REQUEST_TIMEOUT_MS;
};

}  // namespace net
}  // namespace zorn
