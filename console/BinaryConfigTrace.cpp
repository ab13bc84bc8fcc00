#include "console/BinaryConfigTrace.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>

#include "app/JsonPaths.h"
#include "config/BinaryConfig.h"
#include "console/ConfigCommands.h"
#include "drv/ControlBus.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

// A text value as the decoder shows texts from the base: quoted, with bytes
// that are not printable ASCII (and the quote and backslash) as \xNN.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && c != '"' && c != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            out += escaped;
        }
    }
    return out + "\"";
}

}  // namespace

void describeBinaryConfig(zorn::drv::DecodedFrame& answer, const uint8_t* payload, size_t size) {
    Json::Value config;
    const size_t read = std::min<size_t>(size, drv::BINARY_CONFIG_CAPACITY);
    if (!nivo::system::config::parseBinaryConfig(read, payload, config)) {
        answer.text += size > read ? ", not readable: config reads its first " + std::to_string(read) + " bytes only"
                                   : ", not readable as a configuration";
        return;
    }
    std::string pairs;
    for (const JsonLeaf& leaf : jsonLeaves(config)) {
        zorn::drv::DecodedField field;
        field.name = leaf.path;
        const std::string text = leafText(leaf.value);
        if (leaf.value.isNumeric()) {
            field.number = leaf.value.asDouble();
        } else if (leaf.value.isBool()) {
            field.isFlag = true;
            field.number = leaf.value.asBool() ? 1 : 0;
        } else {
            field.isText = true;
            field.text = text;
        }
        answer.fields.push_back(field);
        if (!pairs.empty()) pairs += ", ";
        pairs += leaf.path + "=" + (leaf.value.isString() ? quoted(text) : leaf.value.isNull() ? "null" : text);
    }
    answer.text += ": " + pairs;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
