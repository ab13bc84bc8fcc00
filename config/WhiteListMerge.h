#pragma once

#include <json/json.h>

#include <string>
#include <vector>

namespace nivo {
namespace system {
namespace config {

// Deepest white list the merge follows.
constexpr int WHITE_LIST_MAX_DEPTH = 64;

// Merges the base's configuration `binary` into `reference` under
// `whiteList`: only what the white list names comes from the base. Entries
// whose dotted path is in `ignore` are taken from the reference. `out` is the
// merged configuration, or null when the white list is malformed.
Json::Value& mergeWithWhiteList(const std::vector<std::string>& ignore, const Json::Value& whiteList,
                                Json::Value& out, const Json::Value& reference, const Json::Value& binary);

// One step of the merge, on `result` in place. White-list rules: an object
// recurses member by member (over the sorted union of the three name sets),
// "accept" keeps the base's value, "combine" appends the reference's elements
// that the base's array lacks, any other string takes the reference's value,
// and anything else fails.
bool mergeNode(Json::Value& result, const Json::Value& reference, const Json::Value& whiteList,
               const std::string& path, const std::vector<std::string>& ignore);

}  // namespace config
}  // namespace system
}  // namespace nivo
