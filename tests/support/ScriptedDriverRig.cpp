#include "tests/support/ScriptedDriverRig.h"

namespace orbitane {
namespace testsupport {

ScriptedDriverRig::ScriptedDriverRig() : channel(&protocol, base), driver(&endpoint) {
    channel.clearStopped();
    channel.start();
    endpoint.bindChannel(&channel);
}

ScriptedDriverRig::~ScriptedDriverRig() {
    endpoint.unbindChannel();
    channel.stop();
}

}  // namespace testsupport
}  // namespace orbitane
