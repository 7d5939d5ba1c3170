// Which unit got what: the unit's serial, the operator, the order and the station's label that
// a run was given, found again through vantor-cli history in the station's SQLite file, and a
// history made by an earlier release opened, brought up to date and kept whole.
#include <gtest/gtest.h>

#include <algorithm>

#include "history/history_support.h"
#include "history/old_history.h"
#include "records/history_database.h"

namespace vantor::test {
namespace {

std::vector<std::string> UnitRun(const std::string& image, const std::string& port,
                                 const std::vector<std::string>& unit) {
    std::vector<std::string> arguments{"download",       image,    "--port", port, "--skip-seeking",
                                       "--virtual-time", "--quiet"};
    arguments.insert(arguments.end(), unit.begin(), unit.end());
    return arguments;
}

// "Which firmware did unit S/N 12345 get?": the history finds the unit's run by its serial,
// with the operator and the order it was given and the image that went out, in the JSON, the
// CSV and the table alike; the order and the operator find it too.
TEST(UnitHistory, TheUnitsSerialFindsItsRunWithOperatorAndOrder) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    const std::string image = OneImage(dir);
    const std::string sha256 = ImageSha256(image);
    ASSERT_EQ(RunCli(UnitRun(image, "sim",
                             {"--unit-serial", "SN12345", "--operator", "Jane Doe", "--order",
                              "WO-7", "--station-label", "bench 4"}))
                  .status,
              0);
    ASSERT_EQ(RunCli(UnitRun(image, "sim:seed=2", {"--unit-serial", "SN12346", "--order", "WO-8"}))
                  .status,
              0);
    ASSERT_EQ(RunCli(UnitRun(image, "sim:seed=3", {})).status, 0);

    const auto found = Listed({"--unit-serial", "SN12345"});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(StringField(found[0], "unit_serial"), "SN12345");
    EXPECT_EQ(StringField(found[0], "operator"), "Jane Doe");
    EXPECT_EQ(StringField(found[0], "order"), "WO-7");
    EXPECT_EQ(StringField(found[0], "station_label"), "bench 4");
    EXPECT_EQ(StringField(found[0], "result"), "success");
    EXPECT_EQ(found[0]["images"][0]["sent_sha256"], sha256);
    // The system user the run ran as stays beside the operator, never in its place.
    EXPECT_FALSE(StringField(found[0], "user_name").empty());
    EXPECT_NE(StringField(found[0], "user_name"), "Jane Doe");

    EXPECT_EQ(Listed({"--order", "WO-8"}).size(), 1u);
    EXPECT_EQ(Listed({"--operator", "Jane Doe"}).size(), 1u);
    EXPECT_TRUE(Listed({"--unit-serial", "SN1234"}).empty());
    // A run given no operator is the system user's, and that user's name finds it.
    const std::string user = StringField(found[0], "user_name");
    const auto by_user = Listed({"--operator", user});
    ASSERT_EQ(by_user.size(), 2u);
    for (const JsonObject& run : by_user) {
        EXPECT_TRUE(run["operator"].is_null());
    }

    const CliRun csv = RunCli({"history", "--csv", "--unit-serial", "SN12345"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    const auto rows = Lines(csv.out);
    ASSERT_EQ(rows.size(), 2u) << csv.out;
    EXPECT_NE(rows[0].find("image_paths,image_sha256s,unit_serial,operator,order,station_label"),
              std::string::npos)
        << rows[0];
    EXPECT_NE(rows[1].find(",SN12345,Jane Doe,WO-7,bench 4"), std::string::npos) << rows[1];

    const CliRun table = RunCli({"history"});
    ASSERT_EQ(table.status, 0) << table.err;
    const auto lines = Lines(table.out);
    ASSERT_EQ(lines.size(), 5u) << table.out;  // the head, three runs and the note
    EXPECT_NE(lines[0].find("UNIT"), std::string::npos);
    const auto line_of = [&](const std::string& serial) {
        const auto at = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(serial) != std::string::npos;
        });
        return at == lines.end() ? std::string() : *at;
    };
    EXPECT_NE(line_of("SN12345").find("Jane Doe"), std::string::npos) << table.out;
    EXPECT_NE(line_of("SN12346").find("(" + user + ")"), std::string::npos) << table.out;
    EXPECT_NE(lines.back().find("no --operator was given"), std::string::npos) << table.out;
}

// A filter's value is what a run would take: the same refusal, the same words.
TEST(UnitHistory, BadFilterValuesAreUsageErrors) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    for (const std::vector<std::string>& filter : std::vector<std::vector<std::string>>{
             {"--unit-serial", ""}, {"--order", "WO\t7"}, {"--operator", std::string(65, 'o')}}) {
        const CliRun run = RunCli({"history", filter[0], filter[1]});
        EXPECT_EQ(run.status, 64) << filter[0];
        EXPECT_NE(run.err.find(filter[0]), std::string::npos) << run.err;
    }
}

// Catches a history of an earlier release that a new run cannot write to, or that loses or
// changes a run when its schema is brought up to date: read as it is first (no column of the
// unit yet: no serial matches, and nothing is changed), then written by a run, after which it
// holds every run it held and the new one with its unit.
TEST(UnitHistory, AHistoryOfTheEarlierReleaseKeepsEveryRun) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    const std::string path = dir.Path("old.sqlite");
    {
        auto database = records::OpenSqliteHistory(path, records::OpenFor::kWrite);
        ASSERT_TRUE(database) << database.reason();
        MakeOldHistory(**database, true);
    }
    const auto before = Listed({"--history", path});
    ASSERT_EQ(before.size(), OldRuns().size());
    ExpectOldRunsListed(before);
    EXPECT_TRUE(Listed({"--history", path, "--unit-serial", "SN1"}).empty());
    EXPECT_EQ(Listed({"--history", path, "--operator", "root"}).size(), OldRuns().size());
    {
        auto database = records::OpenSqliteHistory(path, records::OpenFor::kRead);
        ASSERT_TRUE(database) << database.reason();
        EXPECT_EQ(records::ReadSchemaVersion(**database), 1);  // reading changed nothing
    }

    const std::string image = OneImage(dir);
    ASSERT_EQ(RunCli(UnitRun(image, "sim",
                             {"--history", path, "--unit-serial", "SN1", "--operator", "Al"}))
                  .status,
              0);
    const auto after = Listed({"--history", path});
    ASSERT_EQ(after.size(), OldRuns().size() + 1);
    ExpectOldRunsListed(after);
    const auto unit = Listed({"--history", path, "--unit-serial", "SN1"});
    ASSERT_EQ(unit.size(), 1u);
    EXPECT_EQ(StringField(unit[0], "operator"), "Al");
    auto database = records::OpenSqliteHistory(path, records::OpenFor::kRead);
    ASSERT_TRUE(database) << database.reason();
    EXPECT_GE(records::ReadSchemaVersion(**database), records::kUnitColumnsSchema);
}

// The same with a history that the release at bd042ba's own vantor-cli wrote (six runs: a
// download, one refused by a drive of another revision, an identify, a missing image and a
// line of two stations; tests/history/bd042ba.sqlite): each run lists the same, field for
// field, before the file is brought up to date and after, and reading it changed no byte.
TEST(UnitHistory, TheHistoryThatBd042baWroteListsTheSameAfterItsMigration) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    const std::string original = TempDir::Read(VANTOR_HISTORY_FIXTURES "/bd042ba.sqlite");
    ASSERT_FALSE(original.empty());
    const std::string path = dir.Write("bd042ba.sqlite", original);
    const auto before = Listed({"--history", path});
    ASSERT_EQ(before.size(), 6u);
    EXPECT_EQ(TempDir::Read(path), original);

    const std::string image = OneImage(dir);
    ASSERT_EQ(RunCli(UnitRun(image, "sim", {"--history", path, "--unit-serial", "SN12345"})).status,
              0);
    const auto after = Listed({"--history", path});
    ASSERT_EQ(after.size(), before.size() + 1);
    for (const JsonObject& run : before) {
        const auto same = std::find_if(after.begin(), after.end(), [&](const JsonObject& each) {
            return each["id"] == run["id"];
        });
        ASSERT_NE(same, after.end()) << run.dump();
        EXPECT_EQ(*same, run);
    }
    EXPECT_EQ(Listed({"--history", path, "--unit-serial", "SN12345"}).size(), 1u);
    EXPECT_EQ(Listed({"--history", path, "--operator", "root"}).size(), after.size());
}

}  // namespace
}  // namespace vantor::test
