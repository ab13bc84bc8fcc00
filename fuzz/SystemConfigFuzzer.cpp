// The system configuration schema on arbitrary JSON text.
//
// The text is parsed with the JSON library (inputs it rejects are skipped),
// then read with readSystemConfig, and used as the base's value, as the
// reference and as the white list of the merge.
//
// Properties checked besides the sanitizers:
// - reading is deterministic: a second read of the same value into a fresh
//   record gives the same outcome and the same sensor list;
// - a successful read keeps one sensor per element of base.sensors and the
//   identifiers in the order of the array;
// - the merge under the built-in white list never fails;
// - a merge that fails yields null.
#include <json/json.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "config/BuiltinConfig.h"
#include "config/SystemConfig.h"
#include "config/WhiteListMerge.h"

using namespace nivo::system::config;

namespace {

bool parseJson(const char* begin, const char* end, Json::Value& out) {
    static std::unique_ptr<Json::CharReader> reader = [] {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }();
    std::string errors;
    return reader->parse(begin, end, &out, &errors);
}

Json::Value builtin(const char* text) {
    Json::Value value;
    FUZZ_CHECK(parseJson(text, text + std::strlen(text), value), "built-in JSON does not parse");
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Json::Value reference = builtin(REFERENCE_CONFIG);
    static const Json::Value whiteList = builtin(WHITE_LIST);

    const char* text = reinterpret_cast<const char*>(data);
    Json::Value node;
    if (!parseJson(text, text + size, node)) return 0;

    SystemConfig first;
    const bool ok = readSystemConfig(node, first);
    SystemConfig second;
    FUZZ_CHECK(readSystemConfig(node, second) == ok, "second read differs");
    FUZZ_CHECK(first.base.sensors.size() == second.base.sensors.size(), "sensor lists differ");
    if (ok) {
        const Json::Value& constNode = node;
        const Json::Value& sensors = constNode["base"]["sensors"];
        const size_t expected = sensors.isArray() ? sensors.size() : 0;
        FUZZ_CHECK(first.base.sensors.size() == expected, "%zu sensors read from %zu entries",
                   first.base.sensors.size(), expected);
        for (size_t i = 0; i < first.base.sensors.size(); ++i) {
            FUZZ_CHECK(first.base.sensors[i].id == second.base.sensors[i].id, "sensor %zu differs", i);
        }
    }

    Json::Value merged;
    mergeWithWhiteList(std::vector<std::string>(), whiteList, merged, reference, node);
    FUZZ_CHECK(!merged.isNull(), "merge under the built-in white list failed");
    SystemConfig fromMerge;
    readSystemConfig(merged, fromMerge);

    // The text in the other roles: as the reference, and as the white list.
    mergeWithWhiteList(std::vector<std::string>(), whiteList, merged, node, reference);
    Json::Value underText;
    Json::Value& result = mergeWithWhiteList(std::vector<std::string>{"base"}, node, underText, reference, node);
    FUZZ_CHECK(&result == &underText, "merge returns another value than its output");
    SystemConfig fromText;
    readSystemConfig(underText, fromText);
    return 0;
}
