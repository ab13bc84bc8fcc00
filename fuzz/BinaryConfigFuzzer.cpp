// The base's binary configuration as the config command handles it: decode,
// print, merge into the reference configuration under the white list, and
// read the result with the system configuration schema.
//
// Properties checked besides the sanitizers:
// - the decoder agrees with a plain reader of the tag table: the same values,
//   and the same inputs refused (apart from nesting past the depth limit);
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

// The encoding as a plain recursive reader over the bytes, written from the
// tag table and kept apart from the decoder: it reports the value, or false
// for an invalid tag, a dictionary index of 38 or more, or a body that runs
// past the end.
class ModelReader {
public:
    ModelReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool value(Json::Value& out, int depth) {
        uint8_t tag = 0;
        if (!byte(tag)) return false;
        uint64_t raw = 0;
        switch (tag) {
        case BIN_NULL:
            out = Json::Value();
            return true;
        case BIN_UINT8:
        case BIN_UINT16:
            if (!number(tag == BIN_UINT8 ? 1 : 2, raw)) return false;
            out = Json::Value(static_cast<Json::Int>(raw));
            return true;
        case BIN_UINT32:
        case BIN_UINT64:
            if (!number(tag == BIN_UINT32 ? 4 : 8, raw)) return false;
            out = Json::Value(static_cast<Json::UInt>(raw & 0xFFFFFFFFu));
            return true;
        case BIN_INT8:
            if (!number(1, raw)) return false;
            out = Json::Value(static_cast<Json::Int>(raw >= 0x80 ? static_cast<int64_t>(raw) - 0x100 : raw));
            return true;
        case BIN_INT16:
            if (!number(2, raw)) return false;
            out = Json::Value(static_cast<Json::Int>(raw >= 0x8000 ? static_cast<int64_t>(raw) - 0x10000 : raw));
            return true;
        case BIN_INT32:
        case BIN_INT64: {
            if (!number(tag == BIN_INT32 ? 4 : 8, raw)) return false;
            const int64_t low = static_cast<int64_t>(raw & 0xFFFFFFFFu);
            out = Json::Value(static_cast<Json::Int>(low >= 0x80000000LL ? low - 0x100000000LL : low));
            return true;
        }
        case BIN_FLOAT32: {
            if (!number(4, raw)) return false;
            float f = 0;
            const uint32_t bits = static_cast<uint32_t>(raw);
            std::memcpy(&f, &bits, sizeof f);
            out = Json::Value(static_cast<double>(f));
            return true;
        }
        case BIN_FLOAT64: {
            if (!number(8, raw)) return false;
            double d = 0;
            std::memcpy(&d, &raw, sizeof d);
            out = Json::Value(d);
            return true;
        }
        case BIN_STRING: {
            uint8_t length = 0;
            if (!byte(length) || size_ - position_ < length) return false;
            out = Json::Value(std::string(reinterpret_cast<const char*>(data_ + position_), length));
            position_ += length;
            return true;
        }
        case BIN_KEY_STRING: {
            uint8_t index = 0;
            if (!byte(index) || index >= BINARY_CONFIG_KEY_COUNT) return false;
            out = Json::Value(binaryConfigKeys[index]);
            return true;
        }
        case BIN_ARRAY: {
            uint8_t count = 0;
            if (depth > deepestContainer) deepestContainer = depth;
            if (!byte(count)) return false;
            out = Json::Value(Json::arrayValue);
            for (unsigned i = 0; i < count; ++i) {
                Json::Value element;
                if (!value(element, depth + 1)) return false;
                out.append(element);
            }
            return true;
        }
        case BIN_OBJECT: {
            uint8_t count = 0;
            if (depth > deepestContainer) deepestContainer = depth;
            if (!byte(count)) return false;
            out = Json::Value(Json::objectValue);
            for (unsigned i = 0; i < count; ++i) {
                uint8_t index = 0;
                Json::Value member;
                if (!byte(index) || index >= BINARY_CONFIG_KEY_COUNT || !value(member, depth + 1)) return false;
                out[binaryConfigKeys[index]] = member;
            }
            return true;
        }
        case BIN_TRUE:
            out = Json::Value(true);
            return true;
        case BIN_FALSE:
            out = Json::Value(false);
            return true;
        default:
            return false;
        }
    }

    bool atEnd() const { return position_ == size_; }
    // Depth of the most deeply nested array or object (the outermost value
    // is at depth 0).
    int deepestContainer = -1;

private:
    bool byte(uint8_t& b) {
        if (position_ >= size_) return false;
        b = data_[position_++];
        return true;
    }
    bool number(size_t n, uint64_t& out) {
        if (size_ - position_ < n) return false;
        out = 0;
        for (size_t i = n; i > 0; --i) out = (out << 8) | data_[position_ + i - 1];
        position_ += n;
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Json::Value reference = parseJsonText(REFERENCE_CONFIG);
    static const Json::Value whiteList = parseJsonText(WHITE_LIST);

    ModelReader model(data, size);
    Json::Value expected;
    const bool modelOk = model.value(expected, 0) && model.atEnd();

    Json::Value binary(Json::objectValue);
    if (!parseBinaryConfig(size, data, binary)) {
        FUZZ_CHECK(binary.isNull(), "failed decode left a value");
        // Nesting past the decoder's limit is refused on purpose.
        FUZZ_CHECK(!modelOk || model.deepestContainer >= BINARY_CONFIG_MAX_DEPTH, "valid configuration refused");
        return 0;
    }
    FUZZ_CHECK(modelOk, "invalid configuration accepted");
    FUZZ_CHECK(sameJson(binary, expected), "decoded value differs from the encoding's meaning");

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
