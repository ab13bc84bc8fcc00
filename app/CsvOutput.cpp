#include "app/CsvOutput.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "app/JsonPaths.h"
#include "log/Log.h"
#include "log/StandardOutput.h"
#include "log/TextEscape.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

// A reading's cells by column, in the order of its leaves.
using Row = std::vector<std::pair<std::string, std::string>>;

Row::const_iterator cellOf(const Row& row, const std::string& column) {
    return std::find_if(row.begin(), row.end(), [&](const Row::value_type& cell) { return cell.first == column; });
}

struct Table {
    std::mutex mutex;
    size_t expected = 1;
    bool headerWritten = false;
    bool warned = false;
    std::vector<std::string> header;
    std::vector<std::pair<std::string, Row>> held;  // command, cells
};

std::atomic<bool> g_enabled{false};

Table& table() {
    static Table t;
    return t;
}

std::string line(const std::vector<std::string>& cells) {
    std::string text;
    for (size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) text += ',';
        text += cells[i];
    }
    return text + "\n";
}

// The row's cells in the header's order; says once when it has more.
std::string rowLine(Table& t, const std::string& command, const Row& row) {
    std::vector<std::string> cells;
    size_t matched = 0;
    for (const std::string& column : t.header) {
        auto found = cellOf(row, column);
        cells.push_back(found != row.end() ? found->second : std::string());
        if (found != row.end()) ++matched;
    }
    if (matched < row.size() && !t.warned) {
        t.warned = true;
        std::string missing;
        for (const auto& cell : row) {
            if (std::find(t.header.begin(), t.header.end(), cell.first) == t.header.end()) {
                missing = cell.first;
                break;
            }
        }
        nivo::system::util::logWarn(nivo::system::util::LOG_SOURCE_CONSOLE_APP,
                                    "CSV: a %s reading has columns the header lacks (%s, ...); they are left out",
                                    command.c_str(), missing.c_str());
    }
    return line(cells);
}

// Writes the header of the held rows' columns, then the rows.
void writeHeld(Table& t) {
    t.header = {"command", "t"};
    for (const auto& entry : t.held) {
        for (const auto& cell : entry.second) {
            if (std::find(t.header.begin(), t.header.end(), cell.first) == t.header.end()) {
                t.header.push_back(cell.first);
            }
        }
    }
    std::string text = line(t.header);
    for (const auto& entry : t.held) text += rowLine(t, entry.first, entry.second);
    t.held.clear();
    t.headerWritten = true;
    nivo::system::util::StandardOutput::instance().write(1, text);
}

}  // namespace

void setCsvOutput(bool enabled) { g_enabled = enabled; }

bool csvOutput() { return g_enabled; }

void expectCsvRows(size_t rows) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (!t.headerWritten) t.expected = std::max<size_t>(rows, 1);
}

std::string csvCell(const std::string& text) {
    using namespace nivo::system::util;
    const std::string escaped = escapeControlAndInvalid(text, KeepLayout::No);
    const bool quote = escaped.find_first_of(",\"") != std::string::npos ||
                       (!escaped.empty() && (escaped.front() == ' ' || escaped.back() == ' '));
    if (!quote) return escaped;
    std::string out = "\"";
    for (const char c : escaped) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

void emitCsv(const Json::Value& object) {
    Row row;
    for (const JsonLeaf& leaf : jsonLeaves(object)) row.emplace_back(leaf.path, csvCell(leafText(leaf.value)));
    const std::string command = object.get("command", "").asString();
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.headerWritten) {
        nivo::system::util::StandardOutput::instance().write(1, rowLine(t, command, row));
        return;
    }
    t.held.emplace_back(command, std::move(row));
    if (t.held.size() >= t.expected) writeHeld(t);
}

void finishCsv() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (!t.held.empty()) writeHeld(t);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
