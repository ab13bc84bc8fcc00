// --host as a name or an IPv6 address: resolved by the TCP channel and
// connected to, through the real frame against a scripted base on loopback.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "log/Log.h"
#include "tests/console/ConsoleRig.h"

using namespace tests::console;

namespace {

Lines linesOf(const ConsoleRig& rig, const std::string& source) {
    Lines out;
    for (const LogLine& line : rig.lines()) {
        if (line.source == source) out.push_back(line.tagged());
    }
    return out;
}

}  // namespace

TEST(HostName, NamesAndIpv6AddressesAreResolvedAndConnectedTo) {
    using Loopback = ScriptedTcpBase::Loopback;
    const struct {
        const char* host;
        Loopback listener;
        std::string shown;     // the host as the channel names it
        std::string resolved;  // the line that says what a name resolved to, "" for none
    } rows[] = {
        {"localhost", Loopback::V4, "localhost", "[INFO] localhost is 127.0.0.1"},
        {"::1", Loopback::V6, "[::1]", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        ConsoleRig rig;
        rig.host = row.host;
        std::unique_ptr<ScriptedTcpBase> v6;
        uint16_t port = rig.tcp.port();
        if (row.listener == Loopback::V6) {
            v6 = std::make_unique<ScriptedTcpBase>(rig.base, Loopback::V6);
            port = v6->port();
        }
        ASSERT_EQ(0, rig.run({"status"}, port, nullptr));
        const std::string where = "tcp:" + row.shown + ":" + std::to_string(port);
        Lines expected = {"[INFO] Connecting to " + where + "..."};
        if (!row.resolved.empty()) expected.push_back(row.resolved);
        EXPECT_EQ(linesOf(rig, nivo::system::util::LOG_SOURCE_CHANNEL_FACTORY), expected);
        const Lines base = linesOf(rig, nivo::system::util::LOG_SOURCE_BASE_CONSOLE_APP);
        ASSERT_FALSE(base.empty());
        EXPECT_EQ(base.front(), "[INFO] Connected to Control Bus Device at " + where);
    }
}
