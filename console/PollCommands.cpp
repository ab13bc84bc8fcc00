// The poll and event commands, and the host identity sent to the base.
#include <cstdlib>
#include <cstring>

#include "console/DriveArguments.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "console/HostInfo.h"
#include "drv/QuindleBaseDrv.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using namespace zorn::drv;

int OrbitaneBaseConsoleApplication::pollCommand(const std::vector<std::string>&) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    uint8_t pending = 0;
    int32_t result = driver_->pollCommand(pending);
    if (result < 0) {
        logFatal(source, "Poll base cmd fail.");
        return result;
    }
    logInfo(source, "Base cmd pending: %x ", pending);
    if (pending != BASE_CMD_GET_INFO) {
        return 0;
    }
    result = driver_->answerGetInfo(hostInfoAnswer());
    if (result < 0) {
        logFatal(source, "Ans poll get info cmd failed.");
        return result;
    }
    return 0;
}

int OrbitaneBaseConsoleApplication::eventCommand(const std::vector<std::string>& args) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (args.size() < 2) {
        logFatal(source, "Missing parameters.");
        return 2;
    }
    // A whole decimal number; its low 8 bits are the event (300 sends 44).
    int32_t code = 0;
    if (!parseDecimalInt32(args[1], code)) {
        logFatal(source, "Failed to parse parameter code");
        return 2;
    }
    const uint8_t event = static_cast<uint8_t>(code & 0xFF);
    int32_t result = driver_->sendEvent(event);
    if (result < 0) {
        logFatal(source, "Cannot send event.");
        return result;
    }
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
