// The unit on every run: --unit-serial, --operator, --order and --station-label given to a
// download, an identify and each station of a line come back in the start event, the record and
// the report, and a value that would spoil a record is refused before any port is opened.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/cli_runner.h"
#include "image/image_writer.h"
#include "support/json_lines.h"

namespace vantor::test {
namespace {

constexpr int kUsageError = 64;

std::string GoodImage(const TempDir& dir) {
    const auto bytes = image_writer::ImageBuilder::Kdx(2).FillerPackets(3, 64).Build();
    return dir.Write("image.orb", bytes);
}

struct Unit {
    JsonObject unit_serial;
    JsonObject operator_name;
    JsonObject order;
    JsonObject station_label;
};

// The four fields of a start event or a record, as JSON values (null when not given).
Unit UnitOf(const JsonObject& fields) {
    const auto field = [&](const char* key) {
        return fields.contains(key) ? fields.at(key) : JsonObject("(missing)");
    };
    return {field("unit_serial"), field("operator"), field("order"), field("station_label")};
}

void ExpectUnit(const JsonObject& fields, const Unit& expected, const std::string& where) {
    const Unit unit = UnitOf(fields);
    EXPECT_EQ(unit.unit_serial, expected.unit_serial) << where;
    EXPECT_EQ(unit.operator_name, expected.operator_name) << where;
    EXPECT_EQ(unit.order, expected.order) << where;
    EXPECT_EQ(unit.station_label, expected.station_label) << where;
}

// The one event of `kind` of `station` (0: a single run's own); null when there is not one.
JsonObject OneEvent(const std::string& out, const std::string& kind, int station = 0) {
    std::vector<JsonObject> found;
    for (const JsonObject& event : EventsOfKind(ParseJsonLines(out), kind)) {
        if (event.value("station", 0) == station) {
            found.push_back(event);
        }
    }
    return found.size() == 1 ? found.front() : JsonObject();
}

// A quality engineer's record names the unit: what the operator typed is in the start event,
// the summary and the report of a download and of an identify, and what was not given is null.
TEST(UnitFields, DownloadAndIdentifyCarryThemIntoEveryRecord) {
    TempDir dir;
    const std::string image = GoodImage(dir);
    const std::string report = dir.Path("report.json");
    const CliRun download =
        RunCli({"download", image, "--port", "sim", "--virtual-time", "--json", "--no-history",
                "--no-tone", "--unit-serial", "SN 12345", "--operator", "Jane Doe", "--order",
                "WO-7", "--station-label", "bench 4 left", "--report", report});
    ASSERT_EQ(download.status, 0) << download.err;
    const Unit given{"SN 12345", "Jane Doe", "WO-7", "bench 4 left"};
    ExpectUnit(OneEvent(download.out, "start"), given, "start");
    ExpectUnit(OneEvent(download.out, "summary"), given, "summary");
    const auto document = ParseJsonLine(Lines(TempDir::Read(report)).at(0));
    ASSERT_TRUE(document.has_value());
    ExpectUnit(*document, given, "report");

    // Any printable text, accented letters included, stands as it was typed.
    const CliRun identify =
        RunCli({"identify", "--port", "sim", "--virtual-time", "--json", "--no-history",
                "--unit-serial", "Ü-0042", "--operator", "Zoë Ødegård"});
    ASSERT_EQ(identify.status, 0) << identify.err;
    const Unit partly{"Ü-0042", "Zoë Ødegård", nullptr, nullptr};
    ExpectUnit(OneEvent(identify.out, "start"), partly, "identify start");
    ExpectUnit(OneEvent(identify.out, "summary"), partly, "identify summary");

    const CliRun plain =
        RunCli({"download", image, "--port", "sim", "--virtual-time", "--json", "--no-history"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    ExpectUnit(OneEvent(plain.out, "summary"), {nullptr, nullptr, nullptr, nullptr}, "none");
}

struct BadValue {
    const char* name;
    std::string option;
    std::string value;
    const char* message;  // what stderr must say
};

class UnitFieldRefused : public testing::TestWithParam<BadValue> {};

void PrintTo(const BadValue& bad, std::ostream* out) {
    *out << bad.name;
}

// A serial that a scanner's tab, a stray line end or a terminal's escape sequence got into,
// or one too long for any label, is refused with a usage error that names the option, before
// the port is opened or the traffic log begun: the drive is never touched for a record that
// could not name its unit.
TEST_P(UnitFieldRefused, BeforeAnyPortOpens) {
    const BadValue& bad = GetParam();
    TempDir dir;
    const std::string image = GoodImage(dir);
    const std::string log = dir.Path("traffic.log");
    for (const char* command : {"download", "identify"}) {
        std::vector<std::string> arguments{command,          "--port",        "sim",
                                           "--virtual-time", "--traffic-log", log,
                                           "--json",         bad.option,      bad.value};
        if (std::string(command) == "download") {
            arguments.insert(arguments.begin() + 1, image);
        }
        const CliRun run = RunCli(arguments);
        EXPECT_EQ(run.status, kUsageError) << command;
        EXPECT_NE(run.err.find(bad.message), std::string::npos) << command << ": " << run.err;
        const auto events = ParseJsonLines(run.out);
        ASSERT_EQ(events.size(), 1u) << command << ": " << run.out;
        EXPECT_EQ(StringField(events.front(), "event"), "error");
        EXPECT_FALSE(std::filesystem::exists(log)) << command;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, UnitFieldRefused,
    testing::Values(
        BadValue{"Empty", "--unit-serial", "", "--unit-serial needs a value"},
        BadValue{"Tab", "--unit-serial", "SN1\tSN2", "--unit-serial: the value holds a control"},
        BadValue{"LineEnd", "--operator", "Jane\nroot", "--operator: the value holds a control"},
        BadValue{"Escape", "--station-label", "\x1b[2J", "--station-label: the value holds a"},
        BadValue{"NotUtf8", "--order", "WO\xff", "--order: the value is not UTF-8 text"},
        BadValue{"TooLong", "--unit-serial", std::string(65, '7'),
                 "--unit-serial: the value has 65 characters; at most 64"},
        BadValue{"TrailingBlank", "--unit-serial", "SN1 ", "begins or ends with a blank"}),
    [](const testing::TestParamInfo<BadValue>& shown) { return std::string(shown.param.name); });

// The stations of a line are different units: each station's line of the ports file gives its
// own serial (and may give its own operator, order and label, as --order WO-9 or --order=WO-9),
// the line's --operator and --order go to every station that gives none, and every station's
// record carries its own.
TEST(UnitFields, EachStationOfALineRecordsItsOwnUnit) {
    TempDir dir;
    const std::string image = GoodImage(dir);
    const std::string ports =
        dir.Write("stations.txt",
                  "# bench 4\n"
                  "sim:address=1 --unit-serial SN-1001 --station-label \"bench 4 left\"\n"
                  "sim:address=2\t--unit-serial SN-1002 --operator \"Max Mustermann\"\n"
                  "sim:address=3 --order=WO-9\n");
    const std::string report = dir.Path("line.json");
    const CliRun run =
        RunCli({"download", image, "--ports-from", ports, "--virtual-time", "--json",
                "--no-history", "--operator", "Jane Doe", "--order", "WO-7", "--report", report});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<Unit> expected{{"SN-1001", "Jane Doe", "WO-7", "bench 4 left"},
                                     {"SN-1002", "Max Mustermann", "WO-7", nullptr},
                                     {nullptr, "Jane Doe", "WO-9", nullptr}};
    for (int station = 1; station <= 3; ++station) {
        const Unit& unit = expected[static_cast<std::size_t>(station - 1)];
        const std::string where = "station " + std::to_string(station);
        ExpectUnit(OneEvent(run.out, "start", station), unit, where + " start");
        ExpectUnit(OneEvent(run.out, "summary", station), unit, where + " summary");
    }
    const auto document = ParseJsonLine(Lines(TempDir::Read(report)).at(0));
    ASSERT_TRUE(document.has_value());
    const JsonObject& second = document->at("stations").at(1);
    EXPECT_EQ(StringField(second, "port"), "sim:address=2");
    ExpectUnit(second.at("attempts").at(0).at("record"), expected[1], "report");
}

// A line whose units cannot all be told apart, or whose ports file a station's option spoils,
// stops with a usage error before any station starts, naming the file's line.
TEST(UnitFields, ALineRefusesUnitsItCannotTellApart) {
    TempDir dir;
    const std::string image = GoodImage(dir);
    const struct {
        const char* ports_file;  // empty: two --port options
        std::vector<std::string> options;
        const char* message;
    } cases[] = {
        {"", {"--unit-serial", "SN1"}, "--unit-serial names one unit, and the line has 2 stations"},
        {"sim --unit-serial SN1\nsim:address=2 --unit-serial SN1\n",
         {},
         "the unit serial \"SN1\" is given to stations 1 and 2"},
        {"sim --serial SN1\n", {}, "line 1: \"--serial\" is none of a station's own options"},
        {"sim\nsim:address=2 --station-label \"bench 4\n",
         {},
         "line 2: a double quote is not closed"},
        {"sim --unit-serial\n", {}, "line 1: --unit-serial needs a value"},
        {"sim --operator \"\"\n", {}, "line 1: --operator needs a value"},
        {"sim --order \"WO\x07\"\n", {}, "line 1: --order: the value holds a control character"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"download", image, "--virtual-time", "--no-history"};
        if (std::string(c.ports_file).empty()) {
            arguments.insert(arguments.end(), {"--port", "sim", "--port", "sim:address=2"});
        } else {
            arguments.insert(arguments.end(),
                             {"--ports-from", dir.Write("stations.txt", c.ports_file)});
        }
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const CliRun run = RunCli(arguments);
        EXPECT_EQ(run.status, kUsageError) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("station"), std::string::npos) << run.out;
    }
}

}  // namespace
}  // namespace vantor::test
