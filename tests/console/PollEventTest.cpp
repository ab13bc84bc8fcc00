// The poll and event commands through the real frame against a scripted base.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drv/HostInfo.h"
#include "drv/ControlBus.h"
#include "net/Result.h"
#include "tests/console/ConsoleRig.h"

using namespace tests::console;
using namespace zorn::drv;

namespace {

class PollEvent : public ::testing::Test {
protected:
    ConsoleRig rig;
};

void appendText(Bytes& bytes, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        bytes.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
    }
}

// The host identity as the base must receive it, byte by byte.
Bytes expectedHostInfo() {
    Bytes bytes;
    appendText(bytes, "Q7N3", 12);
    const uint8_t numbers[] = {1, 0, 1, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 1};
    bytes.insert(bytes.end(), std::begin(numbers), std::end(numbers));
    appendText(bytes, "ORBITANE-XXXXXX", 40);
    appendText(bytes, zorn::drv::HOST_INFO_ADDRESS, 20);
    return bytes;
}

bool isPrivateIpv4(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        return false;
    }
    const uint32_t a = ntohl(address.s_addr);
    return (a >> 24) == 10 || (a >> 20) == ((172u << 4) | 1u) || (a >> 16) == ((192u << 8) | 168u);
}

}  // namespace

TEST_F(PollEvent, GetInfoRequestIsAnsweredWithTheFixedHostIdentity) {
    rig.base.answer(REQ_POLL_COMMAND, Bytes{BASE_CMD_GET_INFO});
    ASSERT_EQ(0, rig.run({"poll"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Base cmd pending: 51 "}));

    const std::vector<BaseRequest> requests = rig.commandRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].payload, (Bytes{REQ_POLL_COMMAND}));
    EXPECT_EQ(requests[1].code, REQ_ANSWER_GET_INFO);
    ASSERT_EQ(requests[1].args.size(), 89u);
    EXPECT_EQ(requests[1].args, expectedHostInfo());

    const std::string address = zorn::drv::HOST_INFO_ADDRESS;
    EXPECT_LT(address.size(), 20u) << "the address keeps at least one NUL in its 20 bytes";
    EXPECT_TRUE(isPrivateIpv4(address)) << address;
}

TEST_F(PollEvent, OtherPendingCommandsAreOnlyPrinted) {
    rig.base.answer(REQ_POLL_COMMAND, Bytes{0x00});
    ASSERT_EQ(0, rig.run({"poll"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Base cmd pending: 0 "}));
    EXPECT_EQ(rig.commandCodes(), (std::vector<uint8_t>{REQ_POLL_COMMAND}));

    // Hex without a prefix; extra words are ignored.
    rig.base.answer(REQ_POLL_COMMAND, Bytes{0xAB, 0x51});
    ASSERT_EQ(0, rig.run({"poll", "extra"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Base cmd pending: ab "}));
    EXPECT_EQ(rig.commandCodes(), (std::vector<uint8_t>{REQ_POLL_COMMAND}));
}

TEST_F(PollEvent, PollFailuresAreReportedAndReturned) {
    rig.base.fail(REQ_POLL_COMMAND);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_NOT_SUPPORT, rig.run({"poll"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Poll base cmd fail."}));

    rig.base.answer(REQ_POLL_COMMAND, Bytes());  // no pending byte at all
    EXPECT_EQ(zorn::net::RESULT_INVALID_DATA, rig.run({"poll"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Poll base cmd fail."}));
    EXPECT_EQ(rig.commandCodes(), (std::vector<uint8_t>{REQ_POLL_COMMAND}));

    rig.base.answer(REQ_POLL_COMMAND, Bytes{BASE_CMD_GET_INFO});
    rig.base.fail(REQ_ANSWER_GET_INFO, 0x0001);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"poll"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Base cmd pending: 51 ", "[FATL] Ans poll get info cmd failed."}));
}

TEST_F(PollEvent, EventSendsTheLowByteOfTheNumber) {
    struct Case {
        const char* text;
        uint8_t sent;
    };
    for (const Case& c : {Case{"300", 44}, Case{"", 0}, Case{"-1", 255}}) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(0, rig.run({"event", c.text}));
        const std::vector<BaseRequest> requests = rig.commandRequests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].payload, (Bytes{REQ_SEND_EVENT, c.sent}));
        EXPECT_TRUE(rig.commandLines().empty());
    }
}

TEST_F(PollEvent, EventUsageAndFailure) {
    EXPECT_EQ(2, rig.run({"event"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Missing parameters."}));
    EXPECT_TRUE(rig.commandRequests().empty()) << "nothing is sent without an argument";
    EXPECT_EQ(rig.frameLines().rbegin()[1], "[ERRO] Execute command failed: 00000002");  // then the words
    for (const char* typo : {"abc", "12abc", "0x10", "99999999999"}) {
        EXPECT_EQ(2, rig.run({"event", typo})) << typo;
        EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Failed to parse parameter code"})) << typo;
        EXPECT_TRUE(rig.commandRequests().empty()) << typo;
    }

    rig.base.fail(REQ_SEND_EVENT, 0x0001);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"event", "7"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Cannot send event."}));
}
