#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "log/OutputStreams.h"

using namespace nivo::system::util;

namespace {

constexpr auto BOUND = std::chrono::seconds(10);

// A pipe whose reading end the test reads, or leaves unread to block the
// writer. Closing the reading end unblocks a writer (its write fails).
struct Pipe {
    int reader = -1, writer = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) reader = fds[0], writer = fds[1];
        fcntl(reader, F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        closeReader();
        if (writer >= 0) ::close(writer);
    }
    void closeReader() {
        if (reader >= 0) ::close(reader);
        reader = -1;
    }
    std::string readWaiting() {
        std::string text;
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(reader, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
        return text;
    }
};

// Runs `work`, which may wait on `blocked`'s unread pipe; false when it is
// still waiting after BOUND (the pipe is then closed so that it ends).
bool finishesWhileUnread(const std::function<void()>& work, Pipe& blocked) {
    auto done = std::async(std::launch::async, work);
    if (done.wait_for(BOUND) == std::future_status::ready) return true;
    blocked.closeReader();
    return false;
}

// Lines of `lineSize` bytes (newline included) up to `total` bytes.
void writeLines(OutputStreams& streams, int stream, size_t total, size_t lineSize = 1024) {
    const std::string line = std::string(lineSize - 1, stream == 1 ? 'o' : 'e') + '\n';
    for (size_t done = 0; done < total; done += lineSize) streams.write(stream, line);
}

}  // namespace

TEST(OutputStreamsTest, StandardErrorIsWrittenWhileNobodyReadsStandardOutput) {
    Pipe out, err;
    std::atomic<int64_t> abandoned{0};
    OutputStreams streams(out.writer, err.writer, abandoned);
    writeLines(streams, 1, 256 * 1024);  // more than the pipe holds
    streams.write(2, "Interrupted by SIGINT, motors stopped\n");
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + BOUND;
    while (seen.empty() && std::chrono::steady_clock::now() < deadline) {
        seen = err.readWaiting();
        std::this_thread::yield();
    }
    EXPECT_EQ(seen, "Interrupted by SIGINT, motors stopped\n");
    out.closeReader();
}

TEST(OutputStreamsTest, AfterTheAbandonFlushGivesUpOnABlockedStreamButWritesAStreamThatTakesItsText) {
    Pipe out;
    FILE* errFile = std::tmpfile();
    ASSERT_NE(errFile, nullptr);
    std::atomic<int64_t> abandoned{0};
    OutputStreams streams(out.writer, fileno(errFile), abandoned);
    writeLines(streams, 1, 256 * 1024);
    // The word that comes last, just before the flush, must still go out.
    const std::string last(512 * 1024, 'e');
    abandoned = monotonicNs() - 2 * OutputStreams::GIVE_UP_NS;  // the second has passed
    streams.write(2, last);
    EXPECT_TRUE(finishesWhileUnread([&streams] { streams.flush(); }, out));
    struct stat written {};
    fstat(fileno(errFile), &written);
    EXPECT_EQ(written.st_size, 512 * 1024);
    out.closeReader();
    std::fclose(errFile);
}

TEST(OutputStreamsTest, StreamsLeadingToOnePlaceKeepTheirOrderAcrossBoth) {
    Pipe shared;
    const int errFd = dup(shared.writer);
    std::atomic<int64_t> abandoned{0};
    std::string expected;
    {
        OutputStreams streams(shared.writer, errFd, abandoned);
        for (int i = 0; i < 2000; ++i) {
            const std::string line = std::to_string(i) + "\n";
            streams.write(1 + i % 2, line);
            expected += line;
        }
        streams.flush();
    }
    ::close(errFd);
    EXPECT_EQ(shared.readWaiting(), expected);
}

// A full queue never holds up a caller that must meet a deadline, nor one
// after a stop signal: the text is dropped and counted.
TEST(OutputStreamsTest, AFullQueueDropsInsteadOfWaiting) {
    const struct {
        const char* when;
        bool deadline;
        bool abandon;
    } cases[] = {{"inside a deadline", true, false}, {"after the abandon", false, true}};
    for (const auto& c : cases) {
        Pipe out, err;
        std::atomic<int64_t> abandoned{c.abandon ? monotonicNs() : 0};
        OutputStreams streams(out.writer, err.writer, abandoned);
        if (c.deadline) streams.enterDeadline();
        EXPECT_TRUE(finishesWhileUnread([&streams] { writeLines(streams, 1, 2 * OutputStreams::QUEUE_LIMIT); }, out))
            << c.when;
        EXPECT_GT(streams.droppedLines(), 0u) << c.when;
        out.closeReader();
    }
}

TEST(OutputStreamsTest, AStreamWhoseWriteFailsIsLostAndTheOtherGoesOn) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    Pipe err;
    std::atomic<int64_t> abandoned{0};
    OutputStreams streams(full, err.writer, abandoned);
    streams.write(1, "lost\n");
    streams.write(2, "kept\n");
    streams.flush();
    EXPECT_TRUE(streams.lost(1));
    EXPECT_FALSE(streams.lost(2));
    EXPECT_EQ(err.readWaiting(), "kept\n");
    ::close(full);
}
