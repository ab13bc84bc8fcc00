#pragma once

// Self-test of every control-bus request, run against a connected base
// through the library's Base: each case issues one or two requests and
// checks the result code and, where the answer has limits, the answer's
// fields.

#include <map>
#include <string>

#include "diagnostics/TestFramework.h"
#include "orbitane/Base.h"

namespace zorn {

namespace orbitane {
namespace test {

class ControlBusTestFixture : public TestFixture {
public:
    // The base is not owned and must outlive the fixture.
    explicit ControlBusTestFixture(::orbitane::Base* base);

    // The setMotor case sent its stop (and said what came of it).
    bool motionStopped() const { return motionStopped_; }
    // Why the request a failed case checked failed; false when the case
    // failed on a value the base sent (or passed).
    bool requestFailure(const std::string& caseName, ::orbitane::Error& out) const;

private:
    // Runs a case's body with its name noted, for requestFailure.
    void addRequestCase(const std::string& name, void (ControlBusTestFixture::*body)());
    // The result code of a call (0 when it returned), noting its failure
    // for the case; `out` takes its value.
    template <class Call, class Value>
    int resultOf(Call call, Value& out);
    template <class Call>
    int resultOf(Call call);

    // Fails the case when the fixture was built without a base.
    void requireDevice() const;
    void testConnect();
    void testGetConfig();
    void testGetStatus();
    void testGetMotorData();
    void testGetSensorData();
    void testGetBumperData();
    void testGetAutoHomeData();
    void testSetMotor();
    void testSendEvent();

    ::orbitane::Base* base_;
    bool motionStopped_ = false;
    std::string current_;
    std::map<std::string, ::orbitane::Error> failures_;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
