#pragma once

// Generic device interface over a control endpoint: an event source (no one
// in the console registers on it), a few operations that forward to the
// endpoint's fixed requests, and a list of int codes that the device's users
// may keep with it.

#include <cstdint>
#include <list>

#include "net/ControlEndpoint.h"
#include "net/EventDispatcher.h"

namespace zorn {
namespace net {

class AbsDevice : public MessageDispatcher {
public:
    // The endpoint is not owned and must outlive the device.
    explicit AbsDevice(ControlEndpoint* endpoint) : endpoint(endpoint) {}
    ~AbsDevice() override {}

    virtual ControlEndpoint* getEndpoint() { return endpoint; }
    // Appends every stored code, in order, to `out`.
    virtual void copyCodes(std::list<int32_t>& out);
    // Forwarded to the endpoint; RESULT_OPERATION_FAIL without an endpoint.
    virtual int32_t requestRecord(uint8_t* record);
    virtual int32_t sendSignal();
    virtual int32_t requestByte(uint8_t arg);
    virtual int32_t readByte(uint8_t* value);
    virtual void addCode(int32_t code);
    virtual void clearCodes();

protected:
    ControlEndpoint* endpoint;
    std::list<int32_t> codes;
};

}  // namespace net
}  // namespace zorn
