#pragma once

// What came over the line when it was no frame of the base's: whether it
// reads as text, what that text looks like (a web server, a GPS receiver's
// sentences, a login prompt), and a sample of it in hex and ASCII for the
// person reading doctor's verdict.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zorn {
namespace orbitane {
namespace test {

struct TextReading {
    bool text = false;      // the bytes read as text
    std::string looksLike;  // what the text looks like, "" when nothing in particular
};

// Text: at least 4 bytes, and at least 9 in 10 of them printable ASCII,
// tab, carriage return or line feed.
TextReading readAsText(const std::vector<uint8_t>& bytes);

// The first `limit` bytes as hex, then as ASCII between bars (a dot for a
// byte that is not printable), as the hex dump of -t shows them:
// "48 54 54 50 2f 31 2e 31 |HTTP/1.1|".
std::string hexAndText(const std::vector<uint8_t>& bytes, size_t limit);
// The ASCII part alone, without the bars.
std::string printableText(const std::vector<uint8_t>& bytes, size_t limit);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
