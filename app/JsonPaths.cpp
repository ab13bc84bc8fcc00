#include "app/JsonPaths.h"

#include <memory>
#include <sstream>

namespace zorn {
namespace orbitane {
namespace test {

namespace {

void collect(const Json::Value& value, const std::string& path, std::vector<JsonLeaf>& out) {
    const bool container = value.isObject() || value.isArray();
    if (!container || value.empty()) {
        out.push_back(JsonLeaf{path, value});
        return;
    }
    const std::string prefix = path.empty() ? path : path + ".";
    if (value.isArray()) {
        for (Json::ArrayIndex i = 0; i < value.size(); ++i) collect(value[i], prefix + std::to_string(i), out);
        return;
    }
    for (auto it = value.begin(); it != value.end(); ++it) collect(*it, prefix + it.name(), out);
}

// Numbers as the JSON Lines write them.
Json::StreamWriter& numberWriter() {
    static std::unique_ptr<Json::StreamWriter> writer([] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["precision"] = 6;
        builder["precisionType"] = "decimal";
        return builder.newStreamWriter();
    }());
    return *writer;
}

}  // namespace

std::vector<JsonLeaf> jsonLeaves(const Json::Value& value) {
    std::vector<JsonLeaf> out;
    collect(value, std::string(), out);
    return out;
}

std::string leafText(const Json::Value& value) {
    if (value.isString()) return value.asString();
    if (value.isBool()) return value.asBool() ? "true" : "false";
    if (value.isNull()) return std::string();
    if (value.isArray()) return "[]";
    if (value.isObject()) return "{}";
    std::ostringstream out;
    numberWriter().write(value, &out);
    return out.str();
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
