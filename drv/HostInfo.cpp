#include "drv/HostInfo.h"

#include <cstring>

namespace zorn {
namespace drv {

const char* const HOST_INFO_ADDRESS = "192.168.11.100";

base_get_info_answer_t hostInfoAnswer() {
    base_get_info_answer_t answer;
    std::memset(&answer, 0, sizeof answer);
    std::strncpy(answer.model, "Q7N3", sizeof answer.model);
    answer.firmware_version = 1;
    answer.hardware_version = 1;
    answer.serial_number[0] = 1;
    answer.serial_number[1] = 2;
    answer.serial_number[2] = 3;
    answer.info_flag = 1;
    std::strncpy(answer.device_name, "ORBITANE-XXXXXX", sizeof answer.device_name);
    std::strncpy(answer.host_address, HOST_INFO_ADDRESS, sizeof answer.host_address);
    return answer;
}

}  // namespace drv
}  // namespace zorn
