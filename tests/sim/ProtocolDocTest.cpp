// The worked example of docs/protocol.md is what the project's decoder and
// the simulator make of those bytes.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "drv/ControlBus.h"
#include "net/Framer.h"
#include "sim/BaseDevice.h"
#include "sim/FrameCodec.h"

using namespace zorn::orbitane::sim;

namespace {

// Bytes of the first code block after `marker` in the document, read as hex.
std::vector<uint8_t> exampleBytes(const std::string& doc, const std::string& marker) {
    std::vector<uint8_t> bytes;
    size_t at = doc.find(marker);
    if (at == std::string::npos) return bytes;
    size_t open = doc.find("```\n", at);
    size_t close = open == std::string::npos ? open : doc.find("```", open + 4);
    if (close == std::string::npos) return bytes;
    std::istringstream hex(doc.substr(open + 4, close - open - 4));
    std::string word;
    while (hex >> word) bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return bytes;
}

TEST(ProtocolDocTest, WorkedExampleDecodesWithTheProjectsDecoder) {
    std::string root = __FILE__;
    root = root.substr(0, root.rfind("/tests/sim/"));
    std::ifstream in(root + "/docs/protocol.md");
    ASSERT_TRUE(in.good());
    std::ostringstream text;
    text << in.rdbuf();
    const std::string doc = text.str();

    const std::vector<uint8_t> request = exampleBytes(doc, "<!-- worked-example: request -->");
    const std::vector<uint8_t> answer = exampleBytes(doc, "<!-- worked-example: answer -->");
    FrameCodec decoder;
    auto frames = decoder.feed(request.data(), request.size());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].good);
    EXPECT_EQ(frames[0].cmd, zorn::drv::CMD_CONTROL_BUS);
    EXPECT_EQ(frames[0].payload, std::vector<uint8_t>{zorn::drv::REQ_GET_STATUS});

    frames = decoder.feed(answer.data(), answer.size());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].good);
    EXPECT_EQ(frames[0].cmd, ANS_OK);
    ASSERT_EQ(frames[0].payload.size(), sizeof(zorn::drv::base_status_response_t));
    EXPECT_EQ(frames[0].payload[0], 80);  // battery percentage
    EXPECT_EQ(frames[0].payload[1], 3);   // charging flags
    // And it is what the encoder writes for that message.
    EXPECT_EQ(FrameCodec::encode(ANS_OK, frames[0].payload), answer);

    // The synchronisation frame's payload: after flags, length and command,
    // before the checksum.
    const std::vector<uint8_t>& sync = zorn::net::syncFrame();
    ASSERT_EQ(sync.size(), 68u);
    EXPECT_EQ(exampleBytes(doc, "<!-- sync-payload -->"), std::vector<uint8_t>(sync.begin() + 3, sync.end() - 1));
}

}  // namespace
