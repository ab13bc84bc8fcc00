// The base's binary configuration as the config command handles it: decode,
// print, merge into the reference configuration under the white list, and
// read the result with the system configuration schema.
//
// Properties checked besides the sanitizers:
// - a failed decode leaves a null value;
// - a decoded value encodes again, and that encoding decodes to the same
//   value;
// - the merge with the built-in white list never fails, and every top-level
//   member the white list does not name comes from the reference unchanged;
// - the merge steps with the decoded value in the place of the reference or
//   of the white list do not crash either.
#include <json/json.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "config/BinaryConfig.h"
#include "config/BuiltinConfig.h"
#include "config/SystemConfig.h"
#include "config/WhiteListMerge.h"

using namespace nivo::system::config;

namespace {

Json::Value parseJsonText(const char* text) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    const bool ok = reader->parse(text, text + std::strlen(text), &value, &errors);
    FUZZ_CHECK(ok, "built-in JSON does not parse: %s", errors.c_str());
    return value;
}

// Structural equality in which reals compare by their bits (NaN equals
// itself, 0.0 and -0.0 differ) and integers by signedness and value.
bool sameJson(const Json::Value& a, const Json::Value& b) {
    if (a.type() != b.type()) return false;
    switch (a.type()) {
    case Json::nullValue:
        return true;
    case Json::intValue:
        return a.asInt64() == b.asInt64();
    case Json::uintValue:
        return a.asUInt64() == b.asUInt64();
    case Json::realValue: {
        const double x = a.asDouble();
        const double y = b.asDouble();
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    case Json::stringValue:
        return a.asString() == b.asString();
    case Json::booleanValue:
        return a.asBool() == b.asBool();
    case Json::arrayValue:
        if (a.size() != b.size()) return false;
        for (Json::ArrayIndex i = 0; i < a.size(); ++i) {
            if (!sameJson(a[i], b[i])) return false;
        }
        return true;
    case Json::objectValue: {
        if (a.size() != b.size()) return false;
        for (const std::string& name : a.getMemberNames()) {
            const Json::Value* other = b.find(name.data(), name.data() + name.size());
            if (other == nullptr || !sameJson(a[name], *other)) return false;
        }
        return true;
    }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Json::Value reference = parseJsonText(REFERENCE_CONFIG);
    static const Json::Value whiteList = parseJsonText(WHITE_LIST);

    Json::Value binary(Json::objectValue);
    if (!parseBinaryConfig(size, data, binary)) {
        FUZZ_CHECK(binary.isNull(), "failed decode left a value");
        return 0;
    }

    // The config command prints the decoded configuration.
    Json::StyledWriter writer;
    const std::string printed = writer.write(binary);
    FUZZ_CHECK(!printed.empty(), "styled text is empty");

    std::vector<uint8_t> encoded;
    FUZZ_CHECK(encodeBinaryConfig(binary, encoded), "decoded value does not encode");
    Json::Value again;
    FUZZ_CHECK(parseBinaryConfig(encoded.size(), encoded.data(), again), "own encoding does not decode");
    FUZZ_CHECK(sameJson(binary, again), "encoding changes the value");

    Json::Value target;
    mergeWithWhiteList(std::vector<std::string>(), whiteList, target, reference, binary);
    FUZZ_CHECK(!target.isNull(), "merge under the built-in white list failed");
    for (const std::string& name : reference.getMemberNames()) {
        if (whiteList.isMember(name)) continue;
        FUZZ_CHECK(target.isMember(name) && sameJson(target[name], reference[name]),
                   "member %s does not come from the reference", name.c_str());
    }
    SystemConfig config;
    const bool read = readSystemConfig(target, config);
    if (read) {
        // The reference fixes the type and the lidar family; the base cannot
        // change them.
        FUZZ_CHECK(config.type == BaseType::Tessel, "type is not the reference's");
        FUZZ_CHECK(config.lidar.type == LidarType::Vexscan, "lidar type is not the reference's");
    }

    // The same value in the other roles of the merge.
    Json::Value other;
    mergeWithWhiteList(std::vector<std::string>(), whiteList, other, binary, reference);
    mergeWithWhiteList(std::vector<std::string>{"base", "base.sensors", "lidar.installation_pose"}, binary, other,
                       reference, binary);
    Json::Value inPlace = binary;
    mergeNode(inPlace, binary, binary, std::string(), std::vector<std::string>());
    return 0;
}
