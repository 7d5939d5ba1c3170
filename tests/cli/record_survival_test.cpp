// What is left of a run's record when things go wrong around it: the traffic log after the
// program is killed outright, the log, summary and report after a second Ctrl-C, and a report
// that cannot be written, refused before the port opens or failing the run at the end without
// leaving an earlier run's report in its place. Each runs the built vantor-cli against the
// simulated drive in real time.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "cli/cli_runner.h"
#include "image/image_writer.h"
#include "support/json_lines.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;

constexpr int kUsageError = 64;
constexpr int kReportUnwritten = 31;

std::string Image(const TempDir& dir, int packets) {
    const auto bytes = ImageBuilder::Kdx(2).FillerPackets(packets, 200).Build();
    return dir.Write("fw.orb", std::string(bytes.begin(), bytes.end()));
}

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

bool Exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// An earlier run's report that says success.
void WriteOldSuccess(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("{\"event\":\"summary\",\"result\":\"success\",\"status\":0}\n", file);
    std::fclose(file);
}

// Killed outright halfway through, the program leaves a traffic log of what went over the line
// up to a moment before: the init frame and every packet before the one under way.
TEST(RecordSurvival, AProgramKilledOutrightLeavesTheTrafficLogSoFar) {
    TempDir dir;
    const std::string log = dir.Path("traffic.log");
    bool killed = false;
    const CliRun run =
        RunCliReacting({"download", Image(dir, 12), "--port", "sim", "--skip-seeking", "--json",
                        "--traffic-log", log},
                       [&](platform::ChildProcess& program, const std::string& out) {
                           if (out.find("Downloading packet 6") == std::string::npos) {
                               return false;
                           }
                           killed = program.Signal(SIGKILL);
                           return true;
                       });
    ASSERT_TRUE(killed);
    EXPECT_EQ(run.status, -1);
    const std::string text = TempDir::Read(log);
    EXPECT_EQ(text.rfind("# vantor-cli traffic log", 0), 0u) << text;
    // The init frame and packets 1 to 4 at least, each opening with its BOP word.
    EXPECT_GE(CountOf(text, "TX  A5 5A"), 5) << text;
}

// A second Ctrl-C while the job waits for a response that never comes cuts the wait short; the
// port is closed, the log whole, and the summary and the report say "interrupted" (in place of
// an earlier run's report).
TEST(RecordSurvival, ASecondCtrlCStillClosesTheLogAndWritesTheRecord) {
    TempDir dir;
    const std::string log = dir.Path("traffic.log");
    const std::string report = dir.Path("report.json");
    WriteOldSuccess(report);
    int sent = 0;
    const CliRun run =
        RunCliReacting({"download", Image(dir, 4), "--port", "sim:no-response", "--skip-seeking",
                        "--json", "--traffic-log", log, "--report", report},
                       [&](platform::ChildProcess& program, const std::string& out) {
                           if (out.find("Downloading packet 1") == std::string::npos) {
                               return false;
                           }
                           sent += program.Signal(SIGINT) ? 1 : 0;
                           // Two signals sent at once would reach the program as one.
                           std::this_thread::sleep_for(std::chrono::milliseconds(200));
                           sent += program.Signal(SIGINT) ? 1 : 0;
                           return true;
                       });
    ASSERT_EQ(sent, 2);
    EXPECT_EQ(run.status, 130) << run.err;
    const auto events = ParseJsonLines(run.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(StringField(events.back(), "event"), "summary");
    EXPECT_EQ(StringField(events.back(), "result"), "interrupted");
    EXPECT_NE(StringField(events.back(), "detail").find("interrupted twice"), std::string::npos);
    const auto reports = ParseJsonLines(TempDir::Read(report));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(StringField(reports.front(), "result"), "interrupted");
    const std::string text = TempDir::Read(log);
    EXPECT_NE(text.find("-- port closed"), std::string::npos) << text;
}

// A report that cannot be written is a usage error before the port opens, for a single run and
// for a line alike (no station starts). The device does not exist: reaching it would give 5.
TEST(RecordSurvival, AReportWithNowhereToGoIsRefusedBeforeThePort) {
    TempDir dir;
    const std::string image = Image(dir, 1);
    const std::string file = dir.Write("plain-file", "x");
    std::filesystem::create_directory(dir.Path("folder"));
    const std::string places[] = {dir.Path("missing/report.json"), file + "/report.json",
                                  dir.Path("folder")};
    for (const std::string& place : places) {
        const CliRun single = RunCli({"download", image, "--port", "/dev/vantor-no-such-device",
                                      "--json", "--report", place});
        EXPECT_EQ(single.status, kUsageError) << place << ": " << single.err;
        EXPECT_NE(single.err.find("--report \"" + place + "\""), std::string::npos) << single.err;
        const CliRun line = RunCli({"download", image, "--port", "sim", "--port",
                                    "sim:ident=0x2083", "--json", "--report", place});
        EXPECT_EQ(line.status, kUsageError) << place << ": " << line.err;
        EXPECT_EQ(line.out.find("station-start"), std::string::npos) << line.out;
    }
    EXPECT_FALSE(Exists(dir.Path("missing")));
}

// A report path that is a symbolic link leading to nothing, or a file that is no report, is
// refused before the port opens, and the run leaves it exactly as it was: a run never removes or
// replaces a file it did not write. A link to an earlier report is followed, and stays a link.
TEST(RecordSurvival, AReportPathIsTakenForWhatItReallyIs) {
    TempDir dir;
    const std::string image = Image(dir, 1);
    const std::string dangling = dir.Path("dangling.json");
    std::filesystem::create_symlink(dir.Path("gone/report.json"), dangling);
    const std::string notes = dir.Write("notes.txt", "shift notes\n");
    for (const std::string& place : {dangling, notes}) {
        const CliRun single = RunCli({"download", image, "--port", "/dev/vantor-no-such-device",
                                      "--json", "--report", place});
        EXPECT_EQ(single.status, kUsageError) << place << ": " << single.err;
        EXPECT_NE(single.err.find("--report \"" + place + "\""), std::string::npos) << single.err;
    }
    std::error_code ignored;
    EXPECT_TRUE(std::filesystem::is_symlink(std::filesystem::symlink_status(dangling, ignored)));
    EXPECT_EQ(TempDir::Read(notes), "shift notes\n");

    const std::string report = dir.Path("report.json");
    WriteOldSuccess(report);
    const std::string link = dir.Path("latest.json");
    std::filesystem::create_symlink(report, link);
    const CliRun run = RunCli({"download", image, "--port", "sim:ident=0x2083", "--skip-seeking",
                               "--virtual-time", "--no-history", "--report", link});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::is_symlink(std::filesystem::symlink_status(link, ignored)));
    const auto written = ParseJsonLines(TempDir::Read(report));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written.front().value("packets_sent", -1), 1);
}

struct LateFailure {
    const char* name;
    bool line;           // a production line of two stations rather than a single run
    bool remove_folder;  // the report's folder goes away; else the report's new file is blocked
};

class ReportFailsAtTheEnd : public testing::TestWithParam<LateFailure> {};

// The report's folder is removed during the run, or the report's new file cannot be made (its
// temporary name taken by a folder): the run fails with 31 whatever the download came to, and
// an earlier run's report that said success is not left in place.
TEST_P(ReportFailsAtTheEnd, FailsTheRunAndLeavesNoStaleReport) {
    TempDir dir;
    const std::string image = Image(dir, 3);
    const std::string folder = dir.Path("reports");
    std::filesystem::create_directory(folder);
    const std::string report = folder + "/report.json";
    WriteOldSuccess(report);
    std::vector<std::string> arguments{"download", image, "--port", "sim"};
    if (GetParam().line) {
        arguments.insert(arguments.end(), {"--port", "sim:ident=0x2083"});
    }
    arguments.insert(arguments.end(), {"--skip-seeking", "--json", "--report", report});
    bool acted = false;
    const CliRun run = RunCliReacting(arguments, [&](platform::ChildProcess& program,
                                                     const std::string& out) {
        if (out.find("Downloading packet 2") == std::string::npos) {
            return false;
        }
        if (GetParam().remove_folder) {
            std::filesystem::remove_all(folder);
        } else {
            for (int serial = 0; serial < 4; ++serial) {
                std::filesystem::create_directory(report + ".tmp-" + std::to_string(program.id()) +
                                                  "-" + std::to_string(serial));
            }
        }
        acted = true;
        return true;
    });
    ASSERT_TRUE(acted);
    EXPECT_EQ(run.status, kReportUnwritten) << run.err;
    EXPECT_FALSE(Exists(report));
    EXPECT_NE(run.err.find("the report \"" + report + "\" could not be written"), std::string::npos)
        << run.err;
    const auto events = ParseJsonLines(run.out);
    ASSERT_FALSE(events.empty());
    const JsonObject& last = events.back();
    EXPECT_EQ(StringField(last, "event"), GetParam().line ? "line-summary" : "summary");
    EXPECT_EQ(last.value("status", -1), kReportUnwritten);
    EXPECT_EQ(StringField(last, "result"), "failed");
    if (!GetParam().remove_folder) {
        EXPECT_NE(run.err.find("earlier run"), std::string::npos) << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, ReportFailsAtTheEnd,
                         testing::Values(LateFailure{"FolderRemoved", false, true},
                                         LateFailure{"NewFileBlocked", false, false},
                                         LateFailure{"LineFolderRemoved", true, true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace vantor::test
