// The history store itself, in this test's own processes: records written by many processes at
// once into one file, and the plans SQLite makes for the history command's questions.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_runner.h"
#include "cli/history/history_query.h"
#include "records/history_database.h"
#include "records/history_store.h"

namespace vantor::test {
namespace {

constexpr int kProcesses = 64;
#ifdef __SANITIZE_THREAD__
// Under ThreadSanitizer each process costs many times its time: a few rounds still race the
// processes' opens, the fifty of the other builds hunt the rare lost record.
constexpr int kRounds = 5;
#else
constexpr int kRounds = 50;
#endif

records::HistoryEntry RunEntry(int number) {
    records::HistoryEntry entry;
    entry.id = records::NewRecordId();
    entry.started = "2026-12-07T10:12:55.123Z";
    entry.ended = "2026-12-07T10:13:41.456Z";
    entry.host = "station-" + std::to_string(number);
    entry.command = "download";
    entry.port = "COM3";
    entry.result = "success";
    entry.images.push_back(
        {"/srv/drive-2.3.orb", 4096, std::string(64, 'a'), 8, 8, std::string(64, 'a')});
    entry.record = "{\"event\":\"summary\"}";
    return entry;
}

long long RowsIn(const std::string& path) {
    sqlite3* handle = nullptr;
    long long rows = -1;
    if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle, "SELECT count(*) FROM runs", -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            rows = sqlite3_column_int64(statement, 0);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close_v2(handle);
    return rows;
}

// `processes` children, held until all are there, then each records one run into `path`;
// how many said their record was written.
int RecordAtOnce(const std::string& path, int processes) {
    int gate[2];
    if (::pipe(gate) != 0) {
        return -1;
    }
    for (int child = 0; child < processes; ++child) {
        if (::fork() == 0) {
            ::close(gate[1]);
            char go = 0;
            (void)!::read(gate[0], &go, 1);  // returns at the parent's close
            const records::RecordOutcome outcome = records::RecordEntry(RunEntry(child), path);
            if (!outcome.written) {
                std::fprintf(stderr, "not written: %s\n", outcome.error.c_str());
            }
            ::_exit(outcome.written ? 0 : 1);
        }
    }
    ::close(gate[0]);
    ::close(gate[1]);
    int written = 0;
    for (int child = 0; child < processes; ++child) {
        int status = 0;
        if (::wait(&status) > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            ++written;
        }
    }
    return written;
}

// A folder of the test's own on a memory file system where there is one: what the race test
// catches is in SQLite's locks, which are the same there, and it spares the disk the syncs of
// 50 new files.
std::unique_ptr<TempDir> FolderInMemory() {
    const char* kept = std::getenv("TMPDIR");
    const std::string before = kept != nullptr ? kept : "";
    if (::access("/dev/shm", W_OK) == 0) {
        ::setenv("TMPDIR", "/dev/shm", 1);
    }
    auto dir = std::make_unique<TempDir>();
    if (kept != nullptr) {
        ::setenv("TMPDIR", before.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
    return dir;
}

// The first open of a new file by many processes at once: each switches it to WAL and makes
// its schema while the others do, and a switch that met another's lock failed at once and lost
// its run's record.
TEST(HistoryStore, SixtyFourProcessesIntoANewFileLoseNothing) {
    const auto folder = FolderInMemory();
    const TempDir& dir = *folder;
    int whole_rounds = 0;
    for (int round = 0; round < kRounds; ++round) {
        const std::string path = dir.Path("round-" + std::to_string(round) + ".sqlite");
        const int written = RecordAtOnce(path, kProcesses);
        const long long rows = RowsIn(path);
        EXPECT_EQ(written, kProcesses) << "round " << round;
        EXPECT_EQ(rows, kProcesses) << "round " << round;
        whole_rounds += written == kProcesses && rows == kProcesses ? 1 : 0;
    }
    EXPECT_EQ(whole_rounds, kRounds);
}

// A history of its own in memory, its schema made, holding the run RunEntry(1).
std::unique_ptr<records::HistoryDatabase> HistoryInMemory() {
    auto database = records::OpenSqliteHistoryInMemory();
    EXPECT_TRUE(database != nullptr);
    if (database != nullptr) {
        const Result<void> prepared = records::PrepareSchema(*database);
        EXPECT_TRUE(prepared) << prepared.reason();
        const Result<void> inserted = records::InsertEntry(*database, RunEntry(1), "direct");
        EXPECT_TRUE(inserted) << inserted.reason();
    }
    return database;
}

// The plan SQLite makes for `sql`: one line per step, as EXPLAIN QUERY PLAN gives them.
std::vector<std::string> PlanOf(records::HistoryDatabase& database, const std::string& sql,
                                const std::vector<records::SqlValue>& values) {
    std::vector<records::SqlRow> rows;
    const Result<void> planned = database.Run("EXPLAIN QUERY PLAN " + sql, values, &rows);
    EXPECT_TRUE(planned) << sql << ": " << planned.reason();
    std::vector<std::string> steps;
    for (const records::SqlRow& row : rows) {
        steps.push_back(row.size() > 3 ? row[3].value_or("") : "");
    }
    return steps;
}

std::string Joined(const std::vector<std::string>& steps) {
    std::string text;
    for (const std::string& step : steps) {
        text += step + "\n";
    }
    return text;
}

// --result takes the words the records write (failed, interrupted) as well as failure, which
// is either.
TEST(HistoryStore, ResultFilterTakesTheRecordsOwnWords) {
    TempDir dir;
    const std::string path = dir.Path("history.sqlite");
    for (const char* result : {"success", "failed", "interrupted"}) {
        records::HistoryEntry entry = RunEntry(1);
        entry.result = result;
        ASSERT_TRUE(records::RecordEntry(entry, path).written);
    }
    for (const auto& [asked, listed] : std::vector<std::pair<std::string, std::size_t>>{
             {"success", 1}, {"failed", 1}, {"interrupted", 1}, {"failure", 2}}) {
        const CliRun run = RunCli({"history", "--history", path, "--csv", "--result", asked});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::size_t lines =
            static_cast<std::size_t>(std::count(run.out.begin(), run.out.end(), '\n'));
        EXPECT_EQ(lines, 1 + listed) << asked << ":\n" << run.out;
        if (asked != "failure") {
            EXPECT_NE(run.out.find("," + asked + ","), std::string::npos) << run.out;
        }
    }
}

struct FilterCase {
    const char* name;
    cli::HistoryFilters filters;
    std::vector<std::string> searches;  // what the plan must search by
};

std::vector<FilterCase> FilterCases() {
    cli::HistoryFilters none;
    cli::HistoryFilters since;
    since.since = "2026-06-01T00:00:00.000Z";
    since.until = "2026-07-01T00:00:00.000Z";
    cli::HistoryFilters port;
    port.port = "COM3";
    cli::HistoryFilters failures;
    failures.result = "failure";
    cli::HistoryFilters successes;
    successes.result = "success";
    cli::HistoryFilters image;
    image.image_sha256 = std::string(64, 'b');
    cli::HistoryFilters latest;
    latest.limit = 20;
    cli::HistoryFilters unit;
    unit.unit_serial = "SN12345";
    cli::HistoryFilters order;
    order.order = "WO-7";
    cli::HistoryFilters operator_name;
    operator_name.operator_name = "Jane Doe";
    return {
        {"no filter", none, {}},
        {"the latest 20", latest, {}},
        {"--since and --until", since, {"(started>? AND started<?)"}},
        {"--port", port, {"INDEX runs_port_started (port=?)"}},
        {"--result failure", failures, {"INDEX runs_result_started (result=?)"}},
        {"--result success", successes, {"INDEX runs_result_started (result=?)"}},
        {"--image-sha256",
         image,
         {"INDEX run_images_sha256 (sha256=?)", "INDEX run_images_sent_sha256 (sent_sha256=?)"}},
        {"--unit-serial", unit, {"INDEX runs_unit_serial (unit_serial=?)"}},
        {"--order", order, {"INDEX runs_work_order (work_order=?)"}},
        {"--operator",
         operator_name,
         {"INDEX runs_operator (operator_name=?)",
          "INDEX runs_operator (operator_name=? AND user_name=?)"}},
    };
}

// Every filter of the history command is a search of an index, and no question reads the runs'
// rows one by one: the listing reads them in the order of an index, and the counts read only
// indexes, never the rows with their records.
TEST(HistoryStore, EveryFilterIsServedByAnIndex) {
    const auto database = HistoryInMemory();
    ASSERT_TRUE(database != nullptr);
    for (const FilterCase& test : FilterCases()) {
        for (auto* make : {&cli::ListSql, &cli::StationCountsSql, &cli::ImageCountsSql}) {
            std::vector<records::SqlValue> values;
            const std::string sql = make(test.filters, values);
            const std::vector<std::string> steps = PlanOf(*database, sql, values);
            const std::string plan = Joined(steps);
            ASSERT_FALSE(steps.empty()) << sql;
            for (const std::string& step : steps) {
                // A scan or a search of runs (r) or run_images (i) without an index reads
                // their rows, records and all; a subquery's rows (latest) are no table's.
                const bool reads_rows =
                    (step == "SCAN r" || step == "SCAN i" || step.rfind("SCAN r ", 0) == 0 ||
                     step.rfind("SCAN i ", 0) == 0 || step.rfind("SEARCH r ", 0) == 0 ||
                     step.rfind("SEARCH i ", 0) == 0) &&
                    step.find("INDEX") == std::string::npos;
                EXPECT_FALSE(reads_rows) << test.name << ": " << step << "\n"
                                         << sql << "\n"
                                         << plan;
            }
            for (const std::string& search : test.searches) {
                EXPECT_NE(plan.find(search), std::string::npos)
                    << test.name << " needs " << search << "\n"
                    << sql << "\n"
                    << plan;
            }
        }
    }
}

// Catches a record written twice when a run is recorded again (a queued record forwarded after
// it reached the site), a schema made twice, and a newer program's history written or read.
TEST(HistoryStore, KeepsEachRunOnceAndRefusesANewerSchema) {
    const auto database = HistoryInMemory();
    ASSERT_TRUE(database != nullptr);
    records::HistoryEntry again = RunEntry(2);
    std::vector<records::SqlRow> ids;
    const Result<void> listed = database->Run("SELECT id FROM runs", {}, &ids);
    ASSERT_TRUE(listed) << listed.reason();
    ASSERT_EQ(ids.size(), 1u);
    again.id = ids[0][0].value_or("");
    const Result<void> inserted = records::InsertEntry(*database, again, "forwarded");
    EXPECT_TRUE(inserted) << inserted.reason();
    const Result<void> prepared = records::PrepareSchema(*database);
    EXPECT_TRUE(prepared) << prepared.reason();
    std::vector<records::SqlRow> rows;
    const Result<void> read = database->Run("SELECT host FROM runs", {}, &rows);
    ASSERT_TRUE(read) << read.reason();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "station-1");
    const Result<void> readable = records::CheckSchemaForReading(*database);
    EXPECT_TRUE(readable) << readable.reason();

    const Result<void> newer = database->Run("UPDATE history_schema SET version = version + 1");
    ASSERT_TRUE(newer) << newer.reason();
    const Result<void> refused = records::PrepareSchema(*database);
    EXPECT_FALSE(refused);
    EXPECT_NE(refused.reason().find(") is newer than this program's ("), std::string::npos)
        << refused.reason();
    EXPECT_EQ(records::CheckSchemaForReading(*database).reason(),
              "its schema is newer than this program's");
    const Result<void> empty =
        records::CheckSchemaForReading(*records::OpenSqliteHistoryInMemory());
    EXPECT_FALSE(empty);
    EXPECT_EQ(empty.reason(), "it holds no history yet");
}

}  // namespace
}  // namespace vantor::test
