// What is left of a run's record when things go wrong around it: the traffic log after the
// program is killed outright, the log, summary and report after a second Ctrl-C. Each runs the
// built vantor-cli against the simulated drive in real time.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "cli/cli_runner.h"
#include "cli/json_lines.h"
#include "image/image_writer.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;

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

}  // namespace
}  // namespace vantor::test
