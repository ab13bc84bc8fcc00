#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

namespace tests {
namespace support {

// A JSON text as a value; the calling test fails when the text does not parse.
inline Json::Value parseJson(const std::string& text) {
    Json::Value value;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, value, false)) << text;
    return value;
}

}  // namespace support
}  // namespace tests
