#pragma once

namespace nivo {
namespace system {
namespace config {

// The configuration the console starts from: it supplies every required
// member except base.robot_size, which must come from the base.
extern const char* const REFERENCE_CONFIG;

// Which entries of the base's own configuration are trusted ("accept"), and
// which lists are merged with the reference's ("combine").
extern const char* const WHITE_LIST;

}  // namespace config
}  // namespace system
}  // namespace nivo
