// The station's history: a SQLite file that every run appends to, read by vantor-cli history.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "history/history_support.h"
#include "platform/process.h"

namespace vantor::test {
namespace {

constexpr int kUsage = 64;
constexpr int kLineStations = 8;

// What history stats says of a history whose runs all succeeded: `image_runs` of the one image
// `sha256`, and `runs` in all.
void ExpectStats(const std::string& sha256, int image_runs, int runs) {
    const CliRun stats = RunCli({"history", "stats", "--json"});
    ASSERT_EQ(stats.status, 0) << stats.err;
    int station_runs = 0;
    for (const JsonObject& row : ParseJsonLines(stats.out)) {
        if (StringField(row, "kind") == "image") {
            EXPECT_EQ(row["sha256"], sha256);
            EXPECT_EQ(row["runs"], image_runs);
            EXPECT_EQ(row["successes"], image_runs);
        } else {
            station_runs += row["runs"].get<int>();
            EXPECT_EQ(row["failure_rate"], 0.0);
        }
    }
    EXPECT_EQ(station_runs, runs);
}

TEST(StationHistory, RecordsEverySingleRunLineStationAndIdentify) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    const std::string image = OneImage(dir);
    const std::string sha256 = ImageSha256(image);
    ASSERT_EQ(sha256.size(), 64U);
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(RunCli({"download", image, "--port", "sim", "--skip-seeking", "--virtual-time",
                          "--quiet"})
                      .status,
                  0);
    }
    EXPECT_EQ(RunCli({"identify", "--port", "sim", "--virtual-time", "--quiet"}).status, 0);
    const CliRun line = RunCli(LineOf(image, kLineStations, {"--quiet"}));
    EXPECT_EQ(line.status, 0) << line.err;
    // A run told to record nothing adds nothing.
    EXPECT_EQ(RunCli({"download", image, "--port", "sim", "--skip-seeking", "--virtual-time",
                      "--quiet", "--no-history"})
                  .status,
              0);

    const auto runs = Listed({});
    ASSERT_EQ(runs.size(), 3U + 1U + kLineStations);
    std::set<std::string> ids, ports;
    for (const JsonObject& run : runs) {
        ids.insert(StringField(run, "id"));
        EXPECT_EQ(StringField(run, "result"), "success");
        EXPECT_FALSE(StringField(run, "user_name").empty());
        EXPECT_EQ(StringField(run, "user"), StringField(run, "user_name"));
        if (StringField(run, "command") == "download") {
            ports.insert(StringField(run, "port"));
            ASSERT_EQ(run["images"].size(), 1U);
            EXPECT_EQ(run["images"][0]["sha256"], sha256);
            EXPECT_EQ(run["images"][0]["sent_sha256"], sha256);
            EXPECT_EQ(run["packets_sent"], 1);
        } else {
            EXPECT_EQ(run["drive_version"], "2.3");
        }
    }
    EXPECT_EQ(ids.size(), runs.size());  // each run once
    EXPECT_EQ(ports.size(), 1U + kLineStations);
    EXPECT_EQ(Listed({"--image-sha256", sha256}).size(), 3U + kLineStations);
    EXPECT_EQ(Listed({"--port", "sim:seed=3"}).size(), 1U);
    EXPECT_EQ(Listed({"--result", "failure"}).size(), 0U);
    EXPECT_EQ(Listed({"--limit", "2"}).size(), 2U);
    EXPECT_EQ(Listed({"--until", "2000-01-01"}).size(), 0U);

    ExpectStats(sha256, 3 + kLineStations, 3 + 1 + kLineStations);

    const CliRun csv = RunCli({"history", "--csv"});
    EXPECT_EQ(Lines(csv.out).size(), 1U + runs.size());
    // The CSV shows the IdentWord as the rest of the program does.
    EXPECT_NE(csv.out.find(",0x2083,"), std::string::npos) << csv.out;

    const CliRun counted = RunCli({"history", "prune", "--before", "2999-01-01", "--dry-run"});
    EXPECT_NE(counted.out.find("would prune 12 run(s)"), std::string::npos) << counted.out;
    EXPECT_EQ(Listed({}).size(), runs.size());
    const CliRun pruned = RunCli({"history", "prune", "--before", "2999-01-01"});
    EXPECT_EQ(pruned.status, 0) << pruned.err;
    EXPECT_NE(pruned.out.find("pruned 12 run(s)"), std::string::npos) << pruned.out;
    EXPECT_EQ(Listed({}).size(), 0U);
}

// "Which drives got this image" asks for the digest of what was sent: a run whose drive refused
// the image at its header (another hardware revision) must not be among them.
TEST(StationHistory, AnImageRefusedAtItsHeaderHasNoSentDigest) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    const std::string image = OneImage(dir);
    const CliRun refused = RunCli({"download", image, "--port", "sim:ident=0x3083",
                                   "--skip-seeking", "--virtual-time", "--quiet"});
    EXPECT_EQ(refused.status, 106) << refused.err;
    const auto runs = Listed({});
    ASSERT_EQ(runs.size(), 1U);
    ASSERT_EQ(runs[0]["images"].size(), 1U);
    EXPECT_EQ(runs[0]["images"][0]["sha256"], ImageSha256(image));
    EXPECT_EQ(runs[0]["images"][0]["packets_sent"], 0);
    EXPECT_TRUE(runs[0]["images"][0]["sent_sha256"].is_null()) << runs[0].dump();
}

// A run the operator stopped is neither a success nor a failure of the station or the image.
TEST(StationHistory, StatsCountStopsApartFromFailures) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    const std::string image = OneImage(dir);
    for (int run = 0; run < 4; ++run) {
        ASSERT_EQ(RunCli({"download", image, "--port", "sim", "--skip-seeking", "--virtual-time",
                          "--quiet"})
                      .status,
                  0);
    }
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open(dir.Path("data/vantor/history.sqlite").c_str(), &database), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(database,
                           "UPDATE runs SET result = 'interrupted' WHERE id IN (SELECT id FROM "
                           "runs ORDER BY id LIMIT 2);"
                           "UPDATE runs SET result = 'failed' WHERE id IN (SELECT id FROM runs "
                           "WHERE result = 'success' ORDER BY id LIMIT 1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(database);

    const CliRun stats = RunCli({"history", "stats", "--json"});
    ASSERT_EQ(stats.status, 0) << stats.err;
    const auto rows = ParseJsonLines(stats.out);
    ASSERT_EQ(rows.size(), 2U) << stats.out;  // the station and the image
    for (const JsonObject& row : rows) {
        EXPECT_EQ(row["runs"], 4) << row.dump();
        EXPECT_EQ(row["successes"], 1);
        EXPECT_EQ(row["interrupted"], 2);
        EXPECT_EQ(row["failure_rate"], 0.5);
    }
    const CliRun csv = RunCli({"history", "stats", "--csv"});
    EXPECT_EQ(Lines(csv.out).front(),
              "kind,host_or_sha256,port,runs,successes,failure_rate,interrupted,identify,refused");
}

// Catches a station's failure rate that counts what is no failure of a download: an identify
// run (it downloads nothing), and a run refused before its port was opened (a file mistake,
// where the drive was never touched). Three downloads to a drive of another revision fail, one
// identify succeeds and one run names a file that is not there: the rate is 3 of 3 downloads,
// not 4 of 5 runs.
TEST(StationHistory, StatsKeepIdentifyAndRefusedRunsApartFromFailures) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    const std::string image = OneImage(dir);
    const std::string port = "sim:ident=0x3083";
    for (int run = 0; run < 3; ++run) {
        ASSERT_EQ(RunCli({"download", image, "--port", port, "--virtual-time", "--quiet"}).status,
                  106);
    }
    ASSERT_EQ(RunCli({"identify", "--port", port, "--virtual-time", "--quiet"}).status, 0);
    const CliRun missing = RunCli({"download", dir.Path("missing.orb"), "--port", port,
                                   "--virtual-time", "--json", "--traffic-log", dir.Path("log")});
    ASSERT_EQ(missing.status, 102) << missing.err;
    // Its record keeps the result its readers know, and says why it is no station's failure.
    const auto summaries = EventsOfKind(ParseJsonLines(missing.out), "summary");
    ASSERT_EQ(summaries.size(), 1U);
    EXPECT_EQ(StringField(summaries[0], "result"), "failed");
    EXPECT_EQ(summaries[0]["refused"], true);
    EXPECT_EQ(TempDir::Read(dir.Path("log")).find("opened"), std::string::npos);

    const CliRun stats = RunCli({"history", "stats", "--json"});
    ASSERT_EQ(stats.status, 0) << stats.err;
    const auto rows = ParseJsonLines(stats.out);
    ASSERT_FALSE(rows.empty()) << stats.out;
    const JsonObject& station = rows.front();
    EXPECT_EQ(StringField(station, "port"), port);
    EXPECT_EQ(station["runs"], 5) << station.dump();
    EXPECT_EQ(station["successes"], 1);
    EXPECT_EQ(station["identify"], 1);
    EXPECT_EQ(station["refused"], 1);
    EXPECT_EQ(station["failure_rate"], 1.0);

    const auto refused = Listed({"--result", "refused"});
    ASSERT_EQ(refused.size(), 1U);
    EXPECT_EQ(refused[0]["exit_status"], 102);
    EXPECT_EQ(Listed({"--result", "failure"}).size(), 4U);
    EXPECT_EQ(Listed({"--result", "failed"}).size(), 3U);
}

TEST(StationHistory, ManyRunsEndingAtOnceLoseNothing) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    const std::string history = dir.Path("shared.sqlite");
    constexpr int kWriters = 32;
    std::vector<std::unique_ptr<platform::ChildProcess>> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        platform::ChildOptions options;
        options.argv = {VANTOR_CLI_PATH,  "identify", "--port",    "sim",
                        "--virtual-time", "--quiet",  "--history", history};
        options.environment_changes = {{"VANTOR_REGISTRY", dir.Path("registry")}};
        options.out = platform::ChildStream::Null();
        options.err = platform::ChildStream::Null();
        auto started = platform::ChildProcess::Start(options);
        ASSERT_TRUE(started) << started.reason();
        writers.push_back(std::move(*started));
    }
    for (auto& writer : writers) {
        const auto exit =
            writer->Finish(std::chrono::steady_clock::now() + std::chrono::minutes(2));
        EXPECT_TRUE(exit.Exited() && exit.status == 0);
    }
    EXPECT_EQ(Listed({"--history", history}).size(), static_cast<std::size_t>(kWriters));
}

TEST(StationHistory, BadFiltersAreUsageErrors) {
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"history", "--result", "maybe"},
             {"history", "--since", "2026-13-01"},
             {"history", "--until", "yesterday"},
             {"history", "--image-sha256", "abc"},
             {"history", "--limit", "0"},
             {"history", "prune"},
             {"history", "stats", "--dry-run"},
             {"history", "--json", "--csv"},
             {"history", "sync", "--history", "/tmp/x.sqlite"},
             {"download", "x.orb", "--history", "h.sqlite", "--no-history"}}) {
        const CliRun run = RunCli(arguments);
        EXPECT_EQ(run.status, kUsage) << arguments[1] << " " << arguments[2];
        EXPECT_NE(run.err.find("vantor-cli"), std::string::npos);
    }
}

// A file that is not a history is never changed: the history command says so, and a run that
// cannot record itself there succeeds all the same and says why in one line.
TEST(StationHistory, ForeignFilesAreLeftAsTheyAre) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    const std::string text = dir.Write("notes.sqlite", std::string("not a database\n"));
    const std::string other = dir.Path("other.sqlite");
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(other.c_str(), &handle), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(handle, "CREATE TABLE parts (name TEXT)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(handle);
    const std::string image = OneImage(dir);
    for (const std::string& path : {text, other}) {
        const std::string before = TempDir::Read(path);
        const CliRun listed = RunCli({"history", "--history", path});
        EXPECT_EQ(listed.status, 1);
        EXPECT_NE(listed.err.find("left as it is"), std::string::npos) << listed.err;
        const CliRun run = RunCli({"download", image, "--port", "sim", "--skip-seeking",
                                   "--virtual-time", "--quiet", "--history", path});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(Lines(run.err).size(), 1U) << run.err;
        EXPECT_NE(run.err.find("not recorded"), std::string::npos) << run.err;
        EXPECT_EQ(TempDir::Read(path), before);
    }
}

// Catches a history command that makes the file it was asked to read, or fails on it: a history
// no run has written yet is empty, for listing and for pruning alike, and stays absent.
TEST(StationHistory, AHistoryNoRunWroteIsEmptyAndNotMade) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    const std::string path = dir.Path("none/history.sqlite");
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"history", "--history", path},
          std::vector<std::string>{"history", "prune", "--before", "2026-12-01", "--history",
                                   path}}) {
        const CliRun run = RunCli(command);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "vantor-cli: history " + path + ": no run recorded yet\n");
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.Path("none")));
}

// A station whose record the history cannot keep says so in its events; the line counts those
// runs and says why, in its summary, its report and on stderr, though every station succeeded.
TEST(StationHistory, ALineCountsTheRunsItsHistoryCouldNotKeep) {
    TempDir dir;
    KeepStationHistoryIn(dir);
    const std::string foreign = dir.Write("notes.sqlite", std::string("not a database\n"));
    const std::string image = OneImage(dir);
    const std::string report = dir.Path("line.json");
    constexpr int kStations = 3;
    const CliRun line =
        RunCli(LineOf(image, kStations, {"--history", foreign, "--report", report}));
    EXPECT_EQ(line.status, 0) << line.err;
    EXPECT_NE(line.out.find("history: 3 run(s) not recorded: not a history"), std::string::npos)
        << line.out;
    EXPECT_NE(line.err.find("3 run(s) of the stations not recorded in the history: not a history"),
              std::string::npos)
        << line.err;
    const JsonObject kept = JsonObject::parse(TempDir::Read(report));
    EXPECT_EQ(kept["runs_not_recorded"], kStations);
    EXPECT_NE(kept["history_error"].get<std::string>().find("not a history"), std::string::npos);
    for (const JsonObject& station : kept["stations"]) {
        EXPECT_EQ(station["attempts"][0]["recorded"], false);
    }
    // A line whose records are kept says nothing of the history.
    const CliRun kept_line = RunCli(LineOf(image, kStations, {"--report", report}));
    EXPECT_EQ(kept_line.status, 0) << kept_line.err;
    EXPECT_EQ(kept_line.out.find("history:"), std::string::npos) << kept_line.out;
    const JsonObject recorded = JsonObject::parse(TempDir::Read(report));
    EXPECT_EQ(recorded["runs_not_recorded"], 0);
    EXPECT_EQ(recorded["stations"][0]["attempts"][0]["recorded"], true);
    EXPECT_EQ(Listed({}).size(), static_cast<std::size_t>(kStations));
}

}  // namespace
}  // namespace vantor::test
