#pragma once

// The console as a client of the library: its commands reach the base
// through an orbitane::Base, and what the library throws or reports comes
// back here as the console's own results, with the request's cause intact
// (the result code, the JSON kind and the words are read off it as for
// every other failure).

#include <functional>
#include <string>

#include "app/CommandResult.h"
#include "net/Result.h"
#include "orbitane/Base.h"
#include "orbitane/Error.h"

namespace zorn {
namespace net {
class Link;
}

namespace orbitane {
namespace test {

namespace api = ::orbitane;

// Makes the Base the console's commands use over the link the console
// opened (it traces and records that medium itself): sends the connect
// request, and throws api::Error when it is not answered. `channel` names
// the link ("tcp:127.0.0.1:11331"); with `showDecodedConfig` the config
// reading also logs the binary configuration as decoded. Given by the
// program's composition root, so that the console knows only the public
// API.
using BaseMaker =
    std::function<api::Base(zorn::net::Link& link, const std::string& channel, bool showDecodedConfig)>;

// The command's result for a failure the library threw.
CommandResult resultOf(const api::Error& error);
// The request's failure an Error carries; a call the library refused
// before sending anything is a request not written.
zorn::net::Failure failureOf(const api::Error& error);
// One call through the Base as the outcome of its request: its value, or
// the failure the library threw.
template <typename Call>
auto outcomeOf(Call call) -> zorn::net::Outcome<decltype(call())> {
    try {
        return call();
    } catch (const api::Error& error) {
        return failureOf(error);
    }
}
// The failure of a stop that was sent and not confirmed.
zorn::net::Failure failureOf(const api::StopOutcome& stop);
StopReport stopReportOf(const api::StopOutcome& stop);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
