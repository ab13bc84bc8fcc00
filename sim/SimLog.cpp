#include "sim/SimLog.h"

#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace sim {

const std::string LOG_SOURCE_SIM = "zorn.orbitane.sim.BaseSimulator";

LogSink logManagerSink() {
    return [](int level, const std::string& line) {
        namespace util = nivo::system::util;
        switch (level) {
            case util::LOG_DEBUG: util::logDebug(LOG_SOURCE_SIM, "%s", line.c_str()); break;
            case util::LOG_INFO: util::logInfo(LOG_SOURCE_SIM, "%s", line.c_str()); break;
            case util::LOG_WARN: util::logWarn(LOG_SOURCE_SIM, "%s", line.c_str()); break;
            case util::LOG_ERROR: util::logError(LOG_SOURCE_SIM, "%s", line.c_str()); break;
            default: util::logFatal(LOG_SOURCE_SIM, "%s", line.c_str()); break;
        }
    };
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
