#include "config/WhiteListMerge.h"

#include <algorithm>
#include <exception>
#include <iterator>

#include "log/Log.h"

namespace nivo {
namespace system {
namespace config {

using util::LOG_SOURCE_CONFIG;

namespace {

const Json::Value& memberOf(const Json::Value& node, const std::string& name) {
    if (node.isObject()) {
        const Json::Value* member = node.find(name.data(), name.data() + name.size());
        if (member != nullptr) {
            return *member;
        }
    }
    return Json::Value::nullSingleton();
}

// Member names in byte-wise ascending order; none for a value that is not an
// object.
std::vector<std::string> sortedNames(const Json::Value& node) {
    std::vector<std::string> names;
    if (node.isObject()) {
        names = node.getMemberNames();
        std::sort(names.begin(), names.end());
    }
    return names;
}

std::vector<std::string> sortedUnion(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::string> merged;
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(merged));
    return merged;
}

bool containsEqual(const Json::Value& array, const Json::Value& element) {
    for (Json::ArrayIndex i = 0; i < array.size(); ++i) {
        if (array[i] == element) {
            return true;
        }
    }
    return false;
}

void appendMissing(Json::Value& result, const Json::Value& element) {
    if (!containsEqual(result, element)) {
        result.append(element);
    }
}

// "combine": the reference's elements that the base's list lacks are added.
void combine(Json::Value& result, const Json::Value& reference, const std::string& path) {
    if (!reference.isArray() && !reference.isObject()) {
        return;
    }
    if (!result.isArray()) {
        util::logWarn(LOG_SOURCE_CONFIG, "Binary config entry %s is not an array, use config file", path.c_str());
        result = Json::Value(Json::arrayValue);
    }
    if (reference.isArray()) {
        for (Json::ArrayIndex i = 0; i < reference.size(); ++i) {
            appendMissing(result, reference[i]);
        }
    } else {
        for (auto it = reference.begin(); it != reference.end(); ++it) {
            appendMissing(result, *it);
        }
    }
}

bool mergeAt(Json::Value& result, const Json::Value& reference, const Json::Value& whiteList, const std::string& path,
             const std::vector<std::string>& ignore, int depth) {
    if (result.isNull() || whiteList.isNull()) {
        result = reference;
        return true;
    }
    if (std::find(ignore.begin(), ignore.end(), path) != ignore.end()) {
        result = reference;
        util::logWarn(LOG_SOURCE_CONFIG, "Binary config entry %s ignored, use config file", path.c_str());
        return true;
    }
    if (whiteList.isObject()) {
        if (depth >= WHITE_LIST_MAX_DEPTH) {
            util::logError(LOG_SOURCE_CONFIG, "white list nests too deeply at %s", path.c_str());
            return false;
        }
        if (!result.isObject()) {
            // The base sent something else where a section belongs.
            util::logWarn(LOG_SOURCE_CONFIG, "Binary config entry %s is not an object, use config file",
                          path.c_str());
            result = reference;
            return true;
        }
        const std::vector<std::string> names =
            sortedUnion(sortedUnion(sortedNames(result), sortedNames(reference)), sortedNames(whiteList));
        for (const std::string& name : names) {
            const std::string childPath = path.empty() ? name : path + "." + name;
            if (!mergeAt(result[name], memberOf(reference, name), memberOf(whiteList, name), childPath, ignore,
                         depth + 1)) {
                return false;
            }
        }
        return true;
    }
    if (whiteList.isString()) {
        const std::string rule = whiteList.asString();
        if (rule == "accept") {
            return true;
        }
        if (rule == "combine") {
            combine(result, reference, path);
            return true;
        }
        result = reference;
        return true;
    }
    util::logError(LOG_SOURCE_CONFIG, "white list should not contain anyting else than string");
    return false;
}

}  // namespace

bool mergeNode(Json::Value& result, const Json::Value& reference, const Json::Value& whiteList,
               const std::string& path, const std::vector<std::string>& ignore) {
    try {
        return mergeAt(result, reference, whiteList, path, ignore, 0);
    } catch (const std::exception&) {
        return false;
    }
}

Json::Value& mergeWithWhiteList(const std::vector<std::string>& ignore, const Json::Value& whiteList,
                                Json::Value& out, const Json::Value& reference, const Json::Value& binary) {
    Json::Value merged = binary;
    if (mergeNode(merged, reference, whiteList, std::string(), ignore)) {
        out = std::move(merged);
    } else {
        out = Json::Value();
    }
    return out;
}

}  // namespace config
}  // namespace system
}  // namespace nivo
