#pragma once

#include "drv/ControlBus.h"

namespace zorn {
namespace drv {

// Address the console reports as its own when the base asks for the host's
// information: the host's usual address on the robot's internal network.
extern const char* const HOST_INFO_ADDRESS;

// The fixed host identity the console and the library answer to the base's
// get-info request: model "Q7N3", versions 1 and 1, serial 1-2-3, info flag
// 1, "ORBITANE-XXXXXX".
base_get_info_answer_t hostInfoAnswer();

}  // namespace drv
}  // namespace zorn
