#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "sim/LogOutput.h"

using namespace zorn::orbitane::sim;

namespace {

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
}

TEST(LogOutputTest, UnreadPipeDropsWholeLinesWithoutBlockingAndTellsHowManyOnceItMoves) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    ASSERT_GT(::fcntl(pipeFds[1], F_SETPIPE_SZ, 4096), 0);
    uint64_t dropped = 0;
    constexpr int kLines = 500;
    {
        LogOutput out(pipeFds[1], 1000);
        const std::string line = std::string(99, 'x') + "\n";
        for (int i = 0; i < kLines; ++i) EXPECT_EQ(out.write(line), 0u);
        dropped = out.untold();
        EXPECT_GT(dropped, 400u);
        // The descriptor shared with others is left blocking.
        EXPECT_EQ(::fcntl(pipeFds[1], F_GETFL) & O_NONBLOCK, 0);

        ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
        std::string seen = readAll(pipeFds[0]);
        EXPECT_EQ(out.write("next\n"), dropped);
        EXPECT_EQ(out.untold(), 0u);
        seen += readAll(pipeFds[0]);
        // Every line that went out is whole, the last one included.
        ASSERT_GE(seen.size(), 5u);
        EXPECT_EQ(seen.substr(seen.size() - 5), "next\n");
        seen.erase(seen.size() - 5);
        EXPECT_EQ(seen.size() % line.size(), 0u);
        EXPECT_EQ(seen.size() / line.size() + dropped, static_cast<uint64_t>(kLines));
        EXPECT_EQ(seen.find_first_not_of("x\n"), std::string::npos);
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

}  // namespace
