#include "app/Reading.h"

#include <cstdarg>
#include <cstdio>

#include "app/JsonOutput.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

Reading::Reading(const std::string& command)
    : json_(jsonOutput()), object_(json_ ? jsonReading(command) : Json::Value(Json::objectValue)) {}

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

void Reading::add(int level, const char* format, va_list args) {
    if (json_) {
        return;  // the object stands for the reading
    }
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    std::string text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, again);
    va_end(again);
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    lines_.push_back(Line{level, text});
}

void emitReading(const std::string& source, const Reading& reading) {
    if (jsonOutput()) {
        emitJson(reading.object());
        return;
    }
    for (const Reading::Line& line : reading.lines()) {
        if (line.level == LOG_WARN) {
            logWarn(source, "%s", line.text.c_str());
        } else {
            logInfo(source, "%s", line.text.c_str());
        }
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
