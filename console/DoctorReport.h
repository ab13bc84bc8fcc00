#pragma once

// How doctor says what it found: per step a log line (a failed step's with
// its advice, a passed step's with its warnings), with --json one object per
// step, and at the end a summary line (and object).

#include <json/json.h>

#include <string>
#include <vector>

#include "app/CommandResult.h"
#include "console/DoctorVerdicts.h"

namespace zorn {
namespace orbitane {
namespace test {

class DoctorReport {
public:
    CommandResult pass(const char* step, const std::string& detail,
                       const Json::Value& extra = Json::Value(Json::objectValue));
    // Ends doctor: the failed step, the line that says where it stopped and
    // the summary.
    CommandResult fail(const char* step, int status, const std::string& detail, const std::string& advice,
                       const Json::Value& extra = Json::Value(Json::objectValue));
    // A verdict: passed (with its warnings) gives 0, failed ends doctor.
    CommandResult judge(const char* step, const StepVerdict& verdict);
    // After the last step passed: the closing lines.
    CommandResult passedAll();

private:
    void emit(const char* step, bool ok, const std::string& detail, const std::string& advice, int status,
              const std::vector<DoctorWarning>& warnings, const Json::Value& extra);
    void summarise(const std::string& failedStep, int status, const std::string& detail);

    int passed_ = 0;
    std::vector<std::string> warned_;  // the steps that passed with a warning
    size_t warnings_ = 0;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
