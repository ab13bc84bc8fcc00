// The CSV form of a reading: its columns, named by the paths of the JSON
// members, and its cells.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CsvOutput.h"
#include "app/JsonPaths.h"
#include "tests/support/JsonText.h"

using namespace zorn::orbitane::test;

TEST(CsvOutput, ColumnsAreThePathsOfTheMembers) {
    const Json::Value object = tests::support::parseJson(
        R"({"t": 0.1, "sensors": [{"index": 3, "pose": {"yaw_deg": -30.0}}, {"index": 4}], "empty": [],
            "flag": true, "none": null, "label": "Sonar #0"})");
    std::vector<std::string> columns;
    std::vector<std::string> cells;
    for (const JsonLeaf& leaf : jsonLeaves(object)) {
        columns.push_back(leaf.path);
        cells.push_back(leafText(leaf.value));
    }
    EXPECT_EQ(columns, (std::vector<std::string>{"empty", "flag", "label", "none", "sensors.0.index",
                                                 "sensors.0.pose.yaw_deg", "sensors.1.index", "t"}));
    EXPECT_EQ(cells, (std::vector<std::string>{"[]", "true", "Sonar #0", "", "3", "-30.0", "4", "0.1"}));
}

TEST(CsvOutput, CellsAreQuotedOnlyWhereTheyMustBe) {
    const struct {
        std::string text;
        std::string cell;
    } cases[] = {
        {"Charging from cable", "Charging from cable"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {" padded ", "\" padded \""},
        {"line\nbreak", "line\\x0Abreak"},  // a row stays one line
        {"\xFF", "\\xFF"},                 // standard output stays UTF-8
    };
    for (const auto& c : cases) EXPECT_EQ(csvCell(c.text), c.cell) << c.text;
}
