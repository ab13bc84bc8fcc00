#include "sim/RequestNames.h"

#include <cstdlib>

#include "drv/FrameDecoder.h"

namespace zorn {
namespace orbitane {
namespace sim {

const char* requestName(uint8_t code) { return drv::requestName(code); }

bool parseRequestSelector(const Json::Value& value, int& code) {
    if (value.isIntegral() && !value.isBool()) {
        if (!value.isInt() || value.asInt() < 0 || value.asInt() > 255) return false;
        code = value.asInt();
        return true;
    }
    if (!value.isString()) return false;
    std::string text = value.asString();
    if (text == "*") {
        code = -1;
        return true;
    }
    uint8_t named = 0;
    if (drv::requestCodeByName(text, named)) {
        code = named;
        return true;
    }
    if (text.size() > 2 && text.size() <= 4 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        char* end = nullptr;
        long v = std::strtol(text.c_str() + 2, &end, 16);
        if (end != nullptr && *end == '\0' && v >= 0 && v <= 255) {
            code = static_cast<int>(v);
            return true;
        }
    }
    return false;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
