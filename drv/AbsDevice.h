#pragma once

// What every device driver holds: the control endpoint its requests go
// through.

#include "net/ControlEndpoint.h"

namespace zorn {
namespace net {

class AbsDevice {
public:
    // The endpoint is not owned and must outlive the device.
    explicit AbsDevice(ControlEndpoint* endpoint) : endpoint(endpoint) {}
    virtual ~AbsDevice() = default;
    AbsDevice(const AbsDevice&) = delete;
    AbsDevice& operator=(const AbsDevice&) = delete;

    ControlEndpoint* getEndpoint() const { return endpoint; }

protected:
    ControlEndpoint* endpoint;
};

}  // namespace net
}  // namespace zorn
