#include <gtest/gtest.h>

#include "sim/LoopbackListener.h"
#include "sim/SimOptions.h"

using namespace zorn::orbitane::sim;

namespace {

bool parse(std::vector<const char*> words, SimOptions& o, std::string& error) {
    words.insert(words.begin(), "orbitane_base_sim");
    return parseSimOptions(static_cast<int>(words.size()), words.data(), o, error);
}

TEST(SimOptionsTest, DefaultsToTcpOnTheConsolePort) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parse({}, o, error));
    EXPECT_TRUE(o.tcp);
    EXPECT_FALSE(o.pty);
    EXPECT_EQ(o.tcpHost, "127.0.0.1");
    EXPECT_EQ(o.tcpPort, 11331);
}

TEST(SimOptionsTest, OptionalValues) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--tcp", "0", "--pty", "/tmp/base", "--scenario", "x.json", "--legacy", "-q"}, o, error));
    EXPECT_EQ(o.tcpPort, 0);
    EXPECT_TRUE(o.pty);
    EXPECT_EQ(o.ptyLink, "/tmp/base");
    EXPECT_EQ(o.scenarioFile, "x.json");
    EXPECT_TRUE(o.legacy && o.quiet);

    ASSERT_TRUE(parse({"--pty", "--tcp", "localhost:4000"}, o, error));
    EXPECT_TRUE(o.pty && o.tcp);
    EXPECT_TRUE(o.ptyLink.empty());
    EXPECT_EQ(o.tcpHost, "localhost");
    EXPECT_EQ(o.tcpPort, 4000);

    ASSERT_TRUE(parse({"--pty"}, o, error));
    EXPECT_FALSE(o.tcp);  // only the serial line when it is asked for alone
    EXPECT_EQ(o.maxClients, 4);
    EXPECT_EQ(o.stateEverySeconds, 0.0);

    ASSERT_TRUE(parse({"--max-clients", "2", "--state-every", "0.5"}, o, error)) << error;
    EXPECT_EQ(o.maxClients, 2);
    EXPECT_EQ(o.stateEverySeconds, 0.5);
    EXPECT_TRUE(o.wire.perfect());
    EXPECT_EQ(o.wire.seed, kDefaultWireSeed);

    ASSERT_TRUE(parse({"--baud", "115200", "--latency", "16", "--bit-errors", "1e-4", "--seed", "42"}, o, error))
        << error;
    EXPECT_EQ(o.wire.baud, 115200);
    EXPECT_EQ(o.wire.latencyMs, 16);
    EXPECT_EQ(o.wire.bitErrorRate, 1e-4);
    EXPECT_EQ(o.wire.seed, 42u);
    EXPECT_EQ(o.idleTimeoutSeconds, 600.0);
    EXPECT_FALSE(o.requestTimes);

    ASSERT_TRUE(parse({"--idle-timeout", "0.5", "--request-times"}, o, error)) << error;
    EXPECT_EQ(o.idleTimeoutSeconds, 0.5);
    EXPECT_TRUE(o.requestTimes);
}

TEST(SimOptionsTest, BadCommandLines) {
    SimOptions o;
    std::string error;
    EXPECT_FALSE(parse({"--tcp", "70000"}, o, error));
    EXPECT_FALSE(parse({"--tcp", "12ab"}, o, error));
    EXPECT_FALSE(parse({"--tcp", ":80"}, o, error));
    EXPECT_FALSE(parse({"--tcp", "192.168.1.5:80"}, o, error));
    EXPECT_NE(error.find("loopback"), std::string::npos);
    EXPECT_FALSE(parse({"--scenario"}, o, error));
    for (std::vector<const char*> words : std::vector<std::vector<const char*>>{
             {"--max-clients"}, {"--max-clients", "0"}, {"--max-clients", "2x"}, {"--state-every", "-1"},
             {"--state-every", "0"}, {"--state-every", "nan"}, {"--state-every"}, {"--baud", "0"},
             {"--baud", "-9600"}, {"--baud", "fast"}, {"--baud", "9600.5"}, {"--baud"}, {"--latency", "-1"},
             {"--latency", "2ms"}, {"--bit-errors", "1.5"}, {"--bit-errors", "-0.1"}, {"--bit-errors", "nan"},
             {"--bit-errors", "often"}, {"--seed", "-1"}, {"--seed", "x"}, {"--seed", "18446744073709551616"},
             {"--idle-timeout"}, {"--idle-timeout", "-1"}, {"--idle-timeout", "10s"}, {"--idle-timeout", "90000"}}) {
        EXPECT_FALSE(parse(words, o, error)) << words[0];
        EXPECT_NE(error.find(words[0]), std::string::npos) << error;
    }
    EXPECT_FALSE(parse({"--verbose"}, o, error));
    EXPECT_NE(error.find("--verbose"), std::string::npos);
}

TEST(SimOptionsTest, HostPortSplitting) {
    std::string host;
    uint16_t port = 1;
    EXPECT_TRUE(parseHostPort("127.0.0.9:65535", host, port));
    EXPECT_EQ(host, "127.0.0.9");
    EXPECT_EQ(port, 65535);
    EXPECT_FALSE(parseHostPort("", host, port));
    EXPECT_FALSE(parseHostPort("127.0.0.1:", host, port));
    EXPECT_FALSE(parseHostPort("-1", host, port));
    EXPECT_TRUE(isLoopbackHost("127.255.0.1"));
    EXPECT_FALSE(isLoopbackHost("128.0.0.1"));
    EXPECT_FALSE(isLoopbackHost("::1"));
}

}  // namespace
