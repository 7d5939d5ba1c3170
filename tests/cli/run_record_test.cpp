// What a line controller sees of a run: the run record (start and summary events, the report
// file), the statuses of --strict, identify, the checks before the port, interruption, and
// the traffic log's received bytes. Each runs the built vantor-cli against the simulated drive.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include "cli/cli_runner.h"
#include "image/image_writer.h"
#include "support/json_lines.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;

std::string ImageBytes(const ImageBuilder& builder) {
    const auto bytes = builder.Build();
    return std::string(bytes.begin(), bytes.end());
}

const JsonObject* FindEvent(const std::vector<JsonObject>& events, const std::string& kind) {
    const auto found = std::find_if(events.begin(), events.end(), [&](const JsonObject& event) {
        return StringField(event, "event") == kind;
    });
    return found == events.end() ? nullptr : &*found;
}

std::string Number(const JsonObject& event, const std::string& key) {
    const auto found = event.find(key);
    return found == event.end() ? "missing" : found->dump();
}

bool IsNull(const JsonObject& event, const std::string& key) {
    const auto found = event.find(key);
    return found != event.end() && found->is_null();
}

// Three packets that the drive answers with the protected-memory status: the design lets the
// run succeed; --strict fails it, and the summary and the report say why, in fields.
TEST(RunRecord, TheSummaryAndTheReportCarryTheJobsOwnCounts) {
    TempDir dir;
    const std::string image =
        dir.Write("fw.orb", ImageBytes(ImageBuilder::Kdx(2).FillerPackets(3, 64)));
    const std::string report = dir.Path("report.json");
    const CliRun run = RunCli({"download", image, "--port", "sim:address=9,status=0x0080",
                               "--virtual-time", "--json", "--strict", "--report", report});
    EXPECT_EQ(run.status, 20) << run.err;
    const auto events = ParseJsonLines(run.out);
    const JsonObject* start = FindEvent(events, "start");
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(StringField(*start, "image"), image);
    EXPECT_EQ(Number(*start, "declared_packets"), "3");
    EXPECT_EQ(StringField(*start, "device"), "sim:address=9,status=0x0080");
    EXPECT_EQ(StringField(*start, "sha256").size(), 64u);

    ASSERT_EQ(StringField(events.back(), "event"), "summary");
    const auto reports = ParseJsonLines(TempDir::Read(report));
    ASSERT_EQ(reports.size(), 1u);
    for (const JsonObject& summary : {events.back(), reports.front()}) {
        EXPECT_EQ(StringField(summary, "result"), "failed");
        EXPECT_EQ(Number(summary, "status"), "20");
        EXPECT_EQ(Number(summary, "ident_word"), "8323");  // the simulated drive's 0x2083
        EXPECT_EQ(Number(summary, "hardware_revision"), "2");
        EXPECT_EQ(Number(summary, "version_major"), "2");
        EXPECT_EQ(Number(summary, "version_minor"), "3");
        EXPECT_EQ(Number(summary, "address"), "9");
        EXPECT_EQ(Number(summary, "packets_sent"), "3");
        EXPECT_EQ(Number(summary, "acknowledged_first_send"), "3");
        EXPECT_EQ(Number(summary, "protected_memory_warnings"), "3");
        EXPECT_EQ(Number(summary, "images_downloaded"), "1");
        EXPECT_NE(StringField(summary, "started").find('T'), std::string::npos);
    }
}

// A damaged image fails before the port is opened (a missing device would give 5), with its
// hash in the start event and the report written all the same.
TEST(RunRecord, ADamagedImageFailsBeforeThePortAndIsStillReported) {
    TempDir dir;
    const std::string image = dir.Write("abc.orb", "abc");
    const std::string report = dir.Path("report.json");
    const CliRun run = RunCli(
        {"download", image, "--port", "/dev/vantor-no-such-device", "--json", "--report", report});
    EXPECT_EQ(run.status, 106) << run.err;
    const auto events = ParseJsonLines(run.out);
    const JsonObject* start = FindEvent(events, "start");
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(StringField(*start, "sha256"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(FindEvent(events, "post"), nullptr);
    const auto reports = ParseJsonLines(TempDir::Read(report));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(Number(reports.front(), "status"), "106");
    EXPECT_EQ(StringField(reports.front(), "detail"), "Error: Premature end-of-file encountered");
    EXPECT_TRUE(IsNull(reports.front(), "ident_word"));
}

struct StrictCase {
    const char* name;
    std::string list;  // the files list's text; "IMAGE" is replaced by an image without packets
    int status;
};

class Strict : public testing::TestWithParam<StrictCase> {};

// What --strict refuses before the drive is touched has its own status.
TEST_P(Strict, RefusesBeforeThePortOpens) {
    TempDir dir;
    std::string list = GetParam().list;
    if (const auto at = list.find("IMAGE"); at != std::string::npos) {
        list.replace(at, 5, dir.Write("empty.orb", ImageBytes(ImageBuilder::Kdx(2))));
    }
    const CliRun run = RunCli({"download", "--files-list", dir.Write("list.txt", list), "--port",
                               "/dev/vantor-no-such-device", "--strict"});
    EXPECT_EQ(run.status, GetParam().status) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Lists, Strict,
                         testing::Values(StrictCase{"NoLine", "", 22},
                                         StrictCase{"ImageWithoutPackets", "e    IMAGE\r\n", 23}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// identify reads no image, reports who answered and resets the drive unless told to stay.
TEST(Identify, ShowsTheDriveAndResetsItUnlessToldToStay) {
    TempDir dir;
    for (const bool stay : {false, true}) {
        const std::string log = dir.Path(stay ? "stay.log" : "reset.log");
        std::vector<std::string> arguments{
            "identify",      "--port", "sim:address=12,ident=0x1AC5", "--virtual-time", "--json",
            "--traffic-log", log};
        if (stay) {
            arguments.push_back("--stay");
        }
        const CliRun run = RunCli(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        const auto events = ParseJsonLines(run.out);
        const JsonObject* identity = FindEvent(events, "identity");
        ASSERT_NE(identity, nullptr);
        EXPECT_EQ(Number(*identity, "ident_word"), "6853");
        EXPECT_EQ(Number(*identity, "version_major"), "43");
        EXPECT_EQ(Number(*identity, "address"), "12");
        const bool reset =
            TempDir::Read(log).find("TX  A5 5A 00 06 45 58 00 00 FF FE 02 A0") != std::string::npos;
        EXPECT_EQ(reset, !stay);
    }
}

// --reset-after also resets after a single image; received bytes that the job never reads
// (the probe answers it purges during the seek) are in the traffic log.
TEST(TrafficLog, ASingleImageEndsWithTheResetAndTheLogHoldsPurgedAnswers) {
    TempDir dir;
    const std::string image =
        dir.Write("fw.orb", ImageBytes(ImageBuilder::Kdx(2).FillerPackets(1, 16)));
    const std::string log = dir.Path("traffic.log");
    const CliRun run = RunCli({"download", image, "--port", "sim:address=3", "--reset-after",
                               "--virtual-time", "--traffic-log", log});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string text = TempDir::Read(log);
    EXPECT_NE(text.find("TX  A5 5A 00 06 45 58 00 00 FF FE 02 A0"), std::string::npos);
    // The drive's prompt answer (CR, LF, ">") to the probe of its address.
    EXPECT_NE(text.find("RX  0D 0A 3E"), std::string::npos) << text;
}

// No probe answered and no break came back. Only the one address given was asked, so the
// operator is pointed at the address and the speed before the cable.
TEST(Download, ALineWhereNothingAnsweredSaysSo) {
    TempDir dir;
    const std::string image =
        dir.Write("fw.orb", ImageBytes(ImageBuilder::Kdx(2).FillerPackets(1, 16)));
    const CliRun silent = RunCli({"download", image, "--port", "sim:address=3,no-break-answer",
                                  "--address", "7", "--virtual-time", "--json"});
    EXPECT_EQ(silent.status, 2);
    EXPECT_NE(silent.err.find("no drive answered at address 7 on sim:address=3,no-break-answer at "
                              "9600 baud: drop --address to seek every address, or try --baud "
                              "19200; when no drive answers then either, check the cable"),
              std::string::npos)
        << silent.err;
    const auto events = ParseJsonLines(silent.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(StringField(events.back(), "event"), "summary");
    EXPECT_EQ(Number(events.back(), "nothing_answered"), "true");

    // A drive that answers its address but never a break did answer.
    const CliRun answered = RunCli({"download", image, "--port", "sim:address=3,no-break-answer",
                                    "--address", "3", "--virtual-time"});
    EXPECT_EQ(answered.status, 2);
    EXPECT_EQ(answered.err.find("no drive answered"), std::string::npos);
}

struct SignalCase {
    const char* name;
    int signal_number;
    int status;
};

class Interrupted : public testing::TestWithParam<SignalCase> {};

// Ctrl-C or SIGTERM in the middle of a real-time download: the job stops between packets, the
// port is closed, the traffic log is whole and the run record says "interrupted".
TEST_P(Interrupted, StopsBetweenPacketsAndSaysHowToResume) {
    TempDir dir;
    const std::string image =
        dir.Write("fw.orb", ImageBytes(ImageBuilder::Kdx(2).FillerPackets(8, 256)));
    const std::string log = dir.Path("traffic.log");
    const CliRun run = RunCliSignalled(
        {"download", image, "--port", "sim", "--skip-seeking", "--json", "--traffic-log", log},
        GetParam().signal_number, "Downloading packet 2");
    EXPECT_EQ(run.status, GetParam().status) << run.err;
    const auto events = ParseJsonLines(run.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(StringField(events.back(), "event"), "summary");
    EXPECT_EQ(StringField(events.back(), "result"), "interrupted");
    EXPECT_EQ(Number(events.back(), "images_downloaded"), "0");
    EXPECT_NE(run.err.find("--skip-seeking"), std::string::npos) << run.err;
    EXPECT_NE(TempDir::Read(log).find("-- port closed"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted,
                         testing::Values(SignalCase{"CtrlC", SIGINT, 130},
                                         SignalCase{"Term", SIGTERM, 143}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace vantor::test
