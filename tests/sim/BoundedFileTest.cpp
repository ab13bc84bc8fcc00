#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "sim/BoundedFile.h"

using zorn::orbitane::sim::readBoundedFile;

namespace {

TEST(BoundedFileTest, ReadsUpToTheLimitAndRefusesAnythingPastIt) {
    const std::string file = "/tmp/orbitane-bounded-" + std::to_string(::getpid());
    struct Case {
        std::string path;
        size_t bytes;        // written to `file` first when the path is that file
        std::string error;   // empty: read whole
    };
    for (const Case& c : {Case{file, 100, ""}, Case{file, 0, ""},
                          Case{file, 101, file + ": refused, larger than 100 bytes"},
                          Case{"/dev/zero", 0, "/dev/zero: refused, larger than 100 bytes"},
                          Case{file + ".missing", 0, file + ".missing: No such file or directory"}}) {
        SCOPED_TRACE(c.path + ", " + std::to_string(c.bytes) + " bytes");
        if (c.path == file) std::ofstream(file) << std::string(c.bytes, 'x');
        std::string text = "left alone on failure", error;
        const bool read = readBoundedFile(c.path, 100, text, error);
        EXPECT_EQ(read, c.error.empty());
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(text, read ? std::string(c.bytes, 'x') : "left alone on failure");
    }
    ::unlink(file.c_str());
}

}  // namespace
