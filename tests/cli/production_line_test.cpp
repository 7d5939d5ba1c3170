// vantor-cli download with several ports: a production line of station processes, run as the
// built program, each station on a simulated drive of its own.
#include <gtest/gtest.h>

#include <csignal>

#include "cli/cli_runner.h"
#include "image/image_writer.h"
#include "platform/serial/port_identity.h"
#include "support/json_lines.h"

namespace vantor::test {
namespace {

constexpr int kSomeStationsFailed = 30;
constexpr int kUsageError = 64;

std::string GoodImage(const TempDir& dir) {
    const auto bytes = image_writer::ImageBuilder::Kdx(2).FillerPackets(3, 64).Build();
    return dir.Write("image.orb", bytes);
}

std::vector<std::string> LineArguments(const std::string& image,
                                       const std::vector<std::string>& ports,
                                       const std::vector<std::string>& options) {
    std::vector<std::string> arguments{"download", image};
    for (const std::string& port : ports) {
        arguments.insert(arguments.end(), {"--port", port});
    }
    arguments.insert(arguments.end(), options.begin(), options.end());
    return arguments;
}

// The events of one kind, for one station (0: the line's own).
std::vector<JsonObject> Events(const std::vector<JsonObject>& events, const std::string& kind,
                               int station) {
    std::vector<JsonObject> found;
    for (const JsonObject& event : events) {
        const int of = event.value("station", 0);
        if (StringField(event, "event") == kind && of == station) {
            found.push_back(event);
        }
    }
    return found;
}

std::vector<JsonObject> Objects(const JsonObject& array) {
    return array.is_array() ? array.get<std::vector<JsonObject>>() : std::vector<JsonObject>{};
}

// The report file: one JSON document and a line end.
std::optional<JsonObject> ReadReport(const std::string& path) {
    const auto lines = Lines(TempDir::Read(path));
    return lines.size() == 1 ? ParseJsonLine(lines.front()) : std::nullopt;
}

int Number(const JsonObject& object, const std::string& key) {
    const auto found = object.find(key);
    return found == object.end() || !found->is_number() ? -1 : found->get<int>();
}

// Catches a line whose stations share a fate: each station's outcome must be exactly what the
// same port gives when it runs alone, and the exit status and the report name the failures.
TEST(ProductionLine, EachStationGetsItsOwnResultWhenFaultsDiffer) {
    TempDir dir;
    const std::string image = GoodImage(dir);
    const std::vector<std::string> ports{
        "sim:address=1", "sim:address=2,ident=0x1083",       "sim:address=3,no-break-answer",
        "sim:address=4", "sim:address=5,noise=0.004,seed=3", "sim:address=6"};
    std::vector<int> alone;
    for (const std::string& port : ports) {
        alone.push_back(
            RunCli({"download", image, "--port", port, "--virtual-time", "--quiet"}).status);
    }
    ASSERT_EQ(alone[0], 0);
    ASSERT_EQ(alone[1], 106);  // the image is for another hardware revision
    ASSERT_EQ(alone[2], 2);    // nothing answers the break

    const std::string report = dir.Path("line.json");
    const CliRun run =
        RunCli(LineArguments(image, ports, {"--virtual-time", "--json", "--report", report}));
    EXPECT_EQ(run.status, kSomeStationsFailed) << run.err;
    const auto events = ParseJsonLines(run.out);
    std::vector<int> not_succeeded;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const int station = static_cast<int>(i + 1);
        // The station's own run record, passed through with its station number.
        const auto summaries = Events(events, "summary", station);
        ASSERT_EQ(summaries.size(), 1u) << ports[i];
        EXPECT_EQ(Number(summaries.front(), "status"), alone[i]) << ports[i];
        const auto starts = Events(events, "start", station);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(StringField(starts.front(), "port"), ports[i]);
        if (alone[i] != 0) {
            not_succeeded.push_back(station);
        }
    }
    const auto line_summaries = Events(events, "line-summary", 0);
    ASSERT_EQ(line_summaries.size(), 1u);
    EXPECT_EQ(StringField(events.back(), "event"), "line-summary");

    const auto document = ReadReport(report);
    ASSERT_TRUE(document.has_value());
    EXPECT_EQ(Number(*document, "status"), kSomeStationsFailed);
    EXPECT_EQ(document->at("stations_not_succeeded").get<std::vector<int>>(), not_succeeded);
    const auto stations = Objects(document->at("stations"));
    ASSERT_EQ(stations.size(), ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(StringField(stations[i], "port"), ports[i]);
        EXPECT_EQ(StringField(stations[i], "result"), alone[i] == 0 ? "success" : "failed");
        const auto attempts = Objects(stations[i].at("attempts"));
        ASSERT_EQ(attempts.size(), 1u);
        const JsonObject& record = attempts.front().at("record");
        ASSERT_TRUE(record.is_object());
        EXPECT_EQ(Number(record, "status"), alone[i]);
    }
}

// The time on the run's clock at which `station` (0: a single run) wrote its summary.
double SummaryMs(const CliRun& run, int station) {
    const auto summaries = Events(ParseJsonLines(run.out), "summary", station);
    return summaries.size() == 1 ? summaries.front().value("time_ms", -1.0) : -1.0;
}

// The success tone is for an operator at one drive: a single run waits out its second after
// the image, --no-tone leaves it out, and the stations of a line never wait for it.
TEST(ProductionLine, StationsDoNotWaitForTheSuccessTone) {
    TempDir dir;
    const std::string image = GoodImage(dir);
    const std::vector<std::string> single{
        "download",       image,    "--port",      "sim", "--skip-seeking",
        "--virtual-time", "--json", "--no-history"};
    const CliRun with_tone = RunCli(single);
    std::vector<std::string> no_tone = single;
    no_tone.push_back("--no-tone");
    const CliRun without = RunCli(no_tone);
    ASSERT_EQ(with_tone.status, 0) << with_tone.err;
    ASSERT_EQ(without.status, 0) << without.err;
    EXPECT_NEAR(SummaryMs(with_tone, 0) - SummaryMs(without, 0), 1000.0, 0.002);

    const CliRun line = RunCli(
        LineArguments(image, {"sim", "sim:ident=0x2083"},
                      {"--skip-seeking", "--virtual-time", "--json", "--no-history", "--no-tone"}));
    ASSERT_EQ(line.status, 0) << line.err;
    const CliRun line_unasked =
        RunCli(LineArguments(image, {"sim", "sim:ident=0x2083"},
                             {"--skip-seeking", "--virtual-time", "--json", "--no-history"}));
    ASSERT_EQ(line_unasked.status, 0) << line_unasked.err;
    for (const CliRun* run : {&line, &line_unasked}) {
        for (const int station : {1, 2}) {
            EXPECT_NEAR(SummaryMs(*run, station), SummaryMs(without, 0), 0.002) << station;
        }
    }
}

// A station ended by a signal from outside (an operator's kill, the OOM killer) is reported
// as killed, and the others finish as if nothing had happened.
TEST(ProductionLine, ReportsAStationKilledFromOutside) {
    TempDir dir;
    const std::string image = GoodImage(dir);
    bool killed = false;
    const CliRun run = RunCliReacting(
        LineArguments(image, {"sim", "sim:seed=2"}, {"--skip-seeking", "--json"}),
        [&](platform::ChildProcess&, const std::string& out) {
            for (const std::string& line : Lines(out)) {
                const auto event = ParseJsonLine(line);
                if (event && StringField(*event, "event") == "station-start" &&
                    Number(*event, "station") == 2) {
                    killed = KillFromOutside(static_cast<long>(Number(*event, "pid")));
                    return true;
                }
            }
            return false;
        });
    ASSERT_TRUE(killed);
    EXPECT_EQ(run.status, kSomeStationsFailed) << run.err;
    const auto events = ParseJsonLines(run.out);
    const auto ends = Events(events, "station-end", 2);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(StringField(ends.front(), "result"), "killed");
    EXPECT_EQ(Number(ends.front(), "status"), kKilledStatus);
    EXPECT_NE(StringField(ends.front(), "detail").find("from outside the line"), std::string::npos);
    const auto first = Events(events, "station-end", 1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(StringField(first.front(), "result"), "success");
    EXPECT_NE(run.err.find("not succeeded: 2 (sim:seed=2)"), std::string::npos) << run.err;
}

// Also a files list instead of an image: every station sends every line.
TEST(ProductionLine, RetriesAFailedStationFromTheStartUpToTheLimit) {
    TempDir dir;
    const std::string list = dir.Write("list.txt", "main    " + GoodImage(dir) + "\n");
    std::vector<std::string> arguments =
        LineArguments("--files-list", {"sim:address=1", "sim:address=2,no-break-answer"},
                      {"--retry", "2", "--virtual-time", "--json"});
    arguments.insert(arguments.begin() + 2, list);
    const CliRun run = RunCli(arguments);
    EXPECT_EQ(run.status, kSomeStationsFailed) << run.err;
    const auto events = ParseJsonLines(run.out);
    const auto first = Events(events, "summary", 1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(Number(first.front(), "images_downloaded"), 1);
    const auto ends = Events(events, "station-end", 2);
    ASSERT_EQ(ends.size(), 3u);
    for (std::size_t i = 0; i < ends.size(); ++i) {
        EXPECT_EQ(Number(ends[i], "attempt"), static_cast<int>(i + 1));
        EXPECT_EQ(Number(ends[i], "status"), 2);
        EXPECT_EQ(ends[i].at("retry"), i + 1 < ends.size());
    }
    // Every attempt ran the job again from the seek: each has a run record of its own.
    EXPECT_EQ(Events(events, "summary", 2).size(), 3u);
}

// A job holds its files list for itself while it runs. Stations on one list at once, in real
// time so that their jobs overlap, must each read the whole list and succeed, and their records
// must give the digest of what they read.
TEST(ProductionLine, StationsRunningAtOnceEachReadTheFilesList) {
    TempDir dir;
    const std::string list = dir.Write("list.txt", "main    " + GoodImage(dir) + "\n");
    const CliRun run = RunCli({"download", "--files-list", list, "--port", "sim:address=1",
                               "--port", "sim:address=2", "--json"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const auto events = ParseJsonLines(run.out);
    for (int station = 1; station <= 2; ++station) {
        const auto summaries = Events(events, "summary", station);
        ASSERT_EQ(summaries.size(), 1u) << "station " << station;
        EXPECT_EQ(Number(summaries.front(), "images_downloaded"), 1);
        const auto starts = Events(events, "start", station);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(StringField(starts.front(), "files_list_sha256").size(), 64u);
    }
}

TEST(ProductionLine, StopsStartingStationsAfterTheFirstFailure) {
    TempDir dir;
    const std::string image = GoodImage(dir);
    const std::string report = dir.Path("line.json");
    const CliRun run = RunCli(LineArguments(
        image, {"sim:address=1,no-break-answer", "sim:address=2", "sim:address=3"},
        {"--max-parallel", "1", "--stop-on-first-failure", "--virtual-time", "--report", report}));
    EXPECT_EQ(run.status, kSomeStationsFailed) << run.err;
    const auto document = ReadReport(report);
    ASSERT_TRUE(document.has_value());
    const auto stations = Objects(document->at("stations"));
    ASSERT_EQ(stations.size(), 3u);
    EXPECT_EQ(StringField(stations[0], "result"), "failed");
    EXPECT_EQ(StringField(stations[1], "result"), "not-started");
    EXPECT_EQ(StringField(stations[2], "result"), "not-started");
    // Without --json the summary table names what failed, on stdout and stderr.
    EXPECT_NE(run.out.find("line: 0 of 3 stations succeeded"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("result: 30 some stations failed"), std::string::npos);
}

// Ctrl-C or SIGTERM to the line reaches every station once, as it reaches a single run.
TEST(ProductionLine, AnInterruptionStopsEveryStation) {
    TempDir dir;
    const std::string image = GoodImage(dir);
    const CliRun run =
        RunCliSignalled(LineArguments(image, {"sim", "sim:seed=2"}, {"--skip-seeking", "--json"}),
                        SIGTERM, "\"event\":\"status\",\"station\":2");
    EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
    const auto events = ParseJsonLines(run.out);
    const auto summary = Events(events, "line-summary", 0);
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(StringField(summary.front(), "result"), "interrupted");
    for (const JsonObject& station : Objects(summary.front().at("stations"))) {
        EXPECT_EQ(StringField(station, "result"), "interrupted") << StringField(station, "port");
    }
}

std::vector<platform::SerialDeviceEntry> FixtureDevices() {
    platform::SerialDeviceEntry first;
    first.path = "/dev/ttyUSB0";
    first.serial = "A10K3Q";
    first.by_id = {"/dev/serial/by-id/usb-FTDI_FT232R_A10K3Q-if00-port0"};
    platform::SerialDeviceEntry second = first;
    second.path = "/dev/ttyUSB1";
    second.serial = "B77";
    second.by_id = {"/dev/serial/by-id/usb-FTDI_FT232R_B77-if00-port0"};
    platform::SerialDeviceEntry twin = second;  // a second adapter reporting the same number
    twin.path = "/dev/ttyUSB2";
    twin.by_id = {"/dev/serial/by-id/usb-FTDI_FT232R_B77-if00-port1"};
    platform::SerialDeviceEntry board;
    board.path = "/dev/ttyS0";
    return {first, second, twin, board};
}

std::vector<std::string> EightSimulatedPorts() {
    std::vector<std::string> ports;
    for (int address = 1; address <= 8; ++address) {
        ports.push_back("sim:address=" + std::to_string(address));
    }
    return ports;
}

// Catches a line that runs out of descriptors halfway: under a soft limit too low for its
// stations, the line raises it and every station runs.
TEST(ProductionLine, RaisesTheOpenFilesLimitForAllItsStations) {
    TempDir dir;
    const std::string image = GoodImage(dir);
    const CliRun run = RunCliWithOpenFilesLimit(
        LineArguments(image, EightSimulatedPorts(), {"--skip-seeking", "--json"}), 16, 4096);
    EXPECT_EQ(run.status, 0) << run.err;
    const auto events = ParseJsonLines(run.out);
    for (int station = 1; station <= 8; ++station) {
        EXPECT_EQ(Events(events, "station-start", station).size(), 1U) << station;
    }
    EXPECT_EQ(run.err.find("Too many open files"), std::string::npos) << run.err;
}

// Catches a line that starts some stations and then fails the rest: when the hard limit leaves no
// room, the line refuses before any station starts and says what to do.
TEST(ProductionLine, RefusesBeforeAnyStationWhenTheOpenFilesLimitIsTooLow) {
    TempDir dir;
    const std::string image = GoodImage(dir);
    const CliRun run = RunCliWithOpenFilesLimit(
        LineArguments(image, EightSimulatedPorts(), {"--skip-seeking", "--json"}), 40, 40);
    EXPECT_EQ(run.status, kUsageError) << run.err;
    const auto events = ParseJsonLines(run.out);
    ASSERT_EQ(events.size(), 1U) << run.out;
    EXPECT_EQ(StringField(events[0], "event"), "error");
    const std::string message = StringField(events[0], "message");
    EXPECT_NE(message.find("8 stations at once need"), std::string::npos) << message;
    EXPECT_NE(message.find("the limit is 40 (ulimit -Hn): raise it, or give --max-parallel"),
              std::string::npos)
        << message;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
}

TEST(PortIdentity, FindsTheOneAdapterBySerialNumberOrByIdName) {
    const auto devices = FixtureDevices();
    EXPECT_EQ(platform::ResolvePortIdentity("usb-serial:A10K3Q", devices).device, "/dev/ttyUSB0");
    EXPECT_EQ(platform::ResolvePortIdentity("by-id:usb-FTDI_FT232R_B77-if00-port1", devices).device,
              "/dev/ttyUSB2");
    EXPECT_EQ(platform::ResolvePortIdentity(
                  "by-id:/dev/serial/by-id/usb-FTDI_FT232R_B77-if00-port0", devices)
                  .device,
              "/dev/ttyUSB1");
    EXPECT_EQ(platform::ResolvePortIdentity("/dev/ttyUSB7", devices).device, "/dev/ttyUSB7");
}

// Two adapters with one serial number must not be guessed between: the wrong one may hold
// another station's drive.
TEST(PortIdentity, RefusesAnAmbiguousOrUnknownIdentity) {
    const auto devices = FixtureDevices();
    const auto twins = platform::ResolvePortIdentity("usb-serial:B77", devices);
    EXPECT_TRUE(twins.device.empty());
    EXPECT_NE(twins.error.find("2 serial devices match (/dev/ttyUSB1, /dev/ttyUSB2)"),
              std::string::npos)
        << twins.error;
    const auto missing = platform::ResolvePortIdentity("usb-serial:ZZ9", devices);
    EXPECT_TRUE(missing.device.empty());
    EXPECT_NE(missing.error.find("no serial device has the USB serial number \"ZZ9\""),
              std::string::npos)
        << missing.error;
}

// The real device list goes through the same resolver: an adapter that is not there fails its
// station with the port's status and the reason, and the other station runs.
TEST(PortIdentity, AnAbsentAdapterFailsOnlyItsStation) {
    TempDir dir;
    const CliRun run =
        RunCli(LineArguments(GoodImage(dir), {"usb-serial:VANTOR-NO-SUCH-ADAPTER", "sim"},
                             {"--skip-seeking", "--json"}));
    EXPECT_EQ(run.status, kSomeStationsFailed) << run.err;
    const auto events = ParseJsonLines(run.out);
    const auto ends = Events(events, "station-end", 1);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(Number(ends.front(), "status"), 5);
    EXPECT_NE(StringField(ends.front(), "detail")
                  .find("no serial device has the USB serial number \"VANTOR-NO-SUCH-ADAPTER\""),
              std::string::npos);
    EXPECT_EQ(StringField(Events(events, "station-end", 2).front(), "result"), "success");
}

}  // namespace
}  // namespace vantor::test
