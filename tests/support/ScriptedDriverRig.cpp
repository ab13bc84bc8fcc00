#include "tests/support/ScriptedDriverRig.h"

namespace tests {
namespace support {

ScriptedDriverRig::ScriptedDriverRig() : channel(&protocol, base), driver(&endpoint) {
    channel.clearStopped();
    channel.start();
    endpoint.bindChannel(&channel);
}

ScriptedDriverRig::~ScriptedDriverRig() {
    endpoint.unbindChannel();
    channel.stop();
}

}  // namespace support
}  // namespace tests
