#pragma once

// One reading of a command in both of its forms: the lines the console logs
// for it, and the JSON object that stands for it with --json. A command
// fills in both and hands the reading to emitReading, which writes the form
// the output mode asks for, so the command itself never asks which mode is
// on.

#include <json/json.h>

#include <cstdarg>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zorn {
namespace orbitane {
namespace test {

class Reading {
public:
    // A line of the text form at its log level (nivo::system::util::LogLevel).
    struct Line {
        int level;
        std::string text;
    };

    // The object starts with "command" and "t" (see jsonReading). Only the
    // form the output mode asks for is built: without --json (or --csv, whose
    // row is made of the object) the object's members go nowhere, with it
    // the lines are not formatted.
    explicit Reading(const std::string& command);

    // A member of the JSON object, set by assignment
    // (`reading["battery_percent"] = 80`). Without --json the value is
    // never turned into JSON at all.
    class Member {
    public:
        explicit Member(Json::Value* value) : value_(value) {}
        template <typename T>
        Member& operator=(T&& value) {
            if (value_ != nullptr) *value_ = Json::Value(std::forward<T>(value));
            return *this;
        }

    private:
        Json::Value* value_;
    };
    Member operator[](const char* name) { return Member(object_ ? &(*object_)[name] : nullptr); }
    // The whole JSON object, for helpers that add several members.
    Json::Value& object();
    const Json::Value& object() const;

    // Adds a line of the text form (printf-style), at the info or the
    // warning level.
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A line with nothing to expand, at the info level: the reading a
    // monitor repeats thousands of times a second builds its lines this
    // way rather than through the printf machinery.
    void infoText(std::string text);
    bool wantsText() const { return !json_; }
    const std::vector<Line>& lines() const { return lines_; }

private:
    void add(int level, const char* format, va_list args);

    bool json_;
    // Made only with --json (or when a helper asks for the object), so a
    // text reading never touches the JSON library.
    std::unique_ptr<Json::Value> object_;
    std::vector<Line> lines_;
};

// With --json, writes the reading's object to standard output (emitJson);
// with --csv, its row (emitCsv); otherwise logs its lines under `source`, in
// the order they were added.
void emitReading(const std::string& source, const Reading& reading);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
