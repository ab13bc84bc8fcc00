#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "drv/CaptureFile.h"

using namespace zorn::drv;

namespace {

// A folder of its own with a FIFO in it, and the FIFO's reading end while
// the test holds one open (a reader that never reads).
class FifoDir {
public:
    FifoDir() {
        char pattern[] = "/tmp/orbitane-capture-XXXXXX";
        dir_ = ::mkdtemp(pattern) != nullptr ? pattern : "";
        fifo = dir_ + "/f";
        ::mkfifo(fifo.c_str(), 0600);
    }
    ~FifoDir() {
        closeReader();
        ::unlink(fifo.c_str());
        ::unlink(file().c_str());
        ::rmdir(dir_.c_str());
    }
    std::string file() const { return dir_ + "/c.pcap"; }
    void openReader() { reader_ = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }
    void closeReader() {
        if (reader_ >= 0) ::close(reader_);
        reader_ = -1;
    }
    std::string fifo;

private:
    std::string dir_;
    int reader_ = -1;
};

// Runs `work`, which must not wait on the FIFO; false when it is still
// running after 10 s (a reader then comes and goes so that it ends).
bool endsWithoutAReader(const std::function<void()>& work, FifoDir& dir) {
    auto done = std::async(std::launch::async, work);
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return true;
    dir.openReader();
    dir.closeReader();
    return false;
}

}  // namespace

TEST(CaptureWriterTest, PacketsRoundTripThroughTheFile) {
    FifoDir dir;
    const std::vector<uint8_t> request = {0xAA, 0x55, 0x01, 0x31, 0x30};
    const std::vector<uint8_t> answer = {0xAA, 0x55, 0x02, 0x31, 0x00, 0x33};
    CaptureWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(dir.file(), error)) << error;
    writer.write(CAPTURE_HOST_TO_BASE, request.data(), request.size());
    writer.write(CAPTURE_BASE_TO_HOST, answer.data(), answer.size());
    writer.close();
    EXPECT_FALSE(writer.failed()) << writer.failure();
    std::vector<CaptureRecord> records;
    ASSERT_TRUE(readCapture(dir.file(), records, error)) << error;
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].direction, CAPTURE_HOST_TO_BASE);
    EXPECT_EQ(records[0].bytes, request);
    EXPECT_EQ(records[1].direction, CAPTURE_BASE_TO_HOST);
    EXPECT_EQ(records[1].bytes, answer);
    EXPECT_LE(records[0].timeNs, records[1].timeNs);
}

// A file that cannot take the capture is refused at once, before anything
// is sent to the base.
TEST(CaptureWriterTest, OpenRefusesAFileThatCannotTakeTheCapture) {
    FifoDir dir;
    const struct {
        std::string path;
        std::string says;
    } cases[] = {
        {dir.fifo, "nobody reads the FIFO " + dir.fifo},
        {"/dev/full", "/dev/full: No space left on device"},
        {dir.fifo + ".d/c.pcap", dir.fifo + ".d/c.pcap: No such file or directory"},
    };
    for (const auto& c : cases) {
        CaptureWriter writer;
        std::string error;
        bool opened = true;
        EXPECT_TRUE(endsWithoutAReader([&] { opened = writer.open(c.path, error); }, dir)) << c.path;
        EXPECT_FALSE(opened) << c.path;
        EXPECT_EQ(error, c.says);
    }
}

TEST(CaptureWriterTest, AReaderThatStopsReadingStopsTheCaptureNotTheCaller) {
    FifoDir dir;
    dir.openReader();
    CaptureWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(dir.fifo, error)) << error;
    const std::vector<uint8_t> frame(32 * 1024, 0x5A);
    EXPECT_TRUE(endsWithoutAReader(
        [&] {
            for (size_t sent = 0; sent < 4 * CaptureWriter::QUEUE_LIMIT && !writer.failed(); sent += frame.size()) {
                writer.write(CAPTURE_HOST_TO_BASE, frame.data(), frame.size());
            }
            writer.close(std::chrono::milliseconds(100));
        },
        dir));
    EXPECT_EQ(writer.failure(), "capture stopped: the file could not keep up");
}

TEST(CaptureWriterTest, AWriteThatFailsStopsTheCaptureWithItsReason) {
    FifoDir dir;
    dir.openReader();
    CaptureWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(dir.fifo, error)) << error;
    dir.closeReader();  // the reader went away
    const uint8_t frame[] = {0xAA, 0x55, 0x01, 0x31, 0x30};
    writer.write(CAPTURE_HOST_TO_BASE, frame, sizeof frame);
    writer.close();
    EXPECT_EQ(writer.failure(), "capture stopped: Broken pipe");
}
