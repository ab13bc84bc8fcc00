#include "app/Reading.h"

#include <cstdarg>
#include <cstdio>

#include "app/CsvOutput.h"
#include "app/JsonOutput.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

Reading::Reading(const std::string& command) : json_(jsonOutput() || csvOutput()) {
    if (json_) object_.reset(new Json::Value(jsonReading(command)));
}

Json::Value& Reading::object() {
    if (!object_) object_.reset(new Json::Value(Json::objectValue));
    return *object_;
}

const Json::Value& Reading::object() const {
    static const Json::Value none(Json::objectValue);
    return object_ ? *object_ : none;
}

void Reading::info(const char* format, ...) {
    va_list args;
    va_start(args, format);
    add(LOG_INFO, format, args);
    va_end(args);
}

void Reading::warn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    add(LOG_WARN, format, args);
    va_end(args);
}

void Reading::infoText(std::string text) {
    if (json_) return;
    if (lines_.empty()) lines_.reserve(4);
    lines_.push_back(Line{LOG_INFO, std::move(text)});
}

void Reading::add(int level, const char* format, va_list args) {
    if (json_) {
        return;  // the object stands for the reading
    }
    // Most lines fit a small stack buffer; a longer one is formatted again.
    char small[256];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    if (lines_.empty()) lines_.reserve(4);
    if (length < 0) {
        lines_.push_back(Line{level, std::string()});
    } else if (static_cast<size_t>(length) < sizeof small) {
        lines_.push_back(Line{level, std::string(small, static_cast<size_t>(length))});
    } else {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<size_t>(length));
        lines_.push_back(Line{level, std::move(text)});
    }
    va_end(again);
}

void emitReading(const std::string& source, const Reading& reading) {
    if (jsonOutput()) {
        emitJson(reading.object());
        return;
    }
    if (csvOutput()) {
        emitCsv(reading.object());
        return;
    }
    for (const Reading::Line& line : reading.lines()) {
        logText(source, line.level == LOG_WARN ? LOG_WARN : LOG_INFO, line.text);
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
