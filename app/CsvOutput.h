#pragma once

// CSV output of the readings (--csv): a header line, then one row per
// reading, its columns named as the members of the reading's JSON object
// (a nested member by its path, "sensors.0.distance_mm"), with "command"
// and "t" first. As with --json, the log lines go to standard error, so
// standard output holds the table alone.

#include <json/json.h>

#include <cstddef>
#include <string>

namespace zorn {
namespace orbitane {
namespace test {

// Turns CSV output on or off (off by default).
void setCsvOutput(bool enabled);
bool csvOutput();

// The header is made of the columns of the next `rows` readings (monitor of
// several commands: one round), so that one header serves all of them;
// those rows wait until the last of them came, or until finishCsv(). One
// reading by default. Only the first table of a process has a header: a
// later call changes nothing once the header was written.
void expectCsvRows(size_t rows);
// One row for a reading's object. A column the header lacks is left out
// (said once, on standard error); a column the reading lacks is empty.
void emitCsv(const Json::Value& object);
// Writes the header and the rows still waiting for it (a command that
// ended before it made the readings the header waited for).
void finishCsv();

// A CSV cell: `text` with control characters and bytes that are not UTF-8
// escaped (\x1B), quoted (and its quotes doubled) when it holds a comma, a
// quote or a blank at either end.
std::string csvCell(const std::string& text);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
