#include "log/LogSources.h"

namespace nivo {
namespace system {
namespace util {

const std::string LOG_SOURCE_CONSOLE_APP = "zorn.orbitane.test.OrbitaneConsoleApplication";
const std::string LOG_SOURCE_BASE_CONSOLE_APP = "zorn.orbitane.test.OrbitaneBaseConsoleApplication";
const std::string LOG_SOURCE_INTERCEPT = "zorn.orbitane.test.InterceptProtocol";
const std::string LOG_SOURCE_TEST = "zorn.orbitane.test";
const std::string LOG_SOURCE_CHANNEL_FACTORY = "zorn.orbitane.utils.ChannelFactory";
const std::string LOG_SOURCE_CONFIG = "nivo.system.config";

}  // namespace util
}  // namespace system
}  // namespace nivo
