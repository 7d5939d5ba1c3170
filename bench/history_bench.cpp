// vantor-history-bench: what recording a run costs. First the record alone: one run's entry
// (one image) written again and again into a SQLite history of its own, each in its own
// transaction as a run writes it, timed per record. Then a production line of 32 simulated
// stations on the virtual clock through the built vantor-cli, once recording into a fresh
// history and once with --no-history: the records it leaves (one per station) and the wall time
// of each.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "image/image_writer.h"
#include "platform/process.h"
#include "records/history_database.h"
#include "records/history_store.h"

namespace vantor::bench {
namespace {

constexpr int kRecords = 500;
constexpr int kStations = 32;

double Ms(std::chrono::steady_clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

records::HistoryEntry SampleEntry() {
    records::HistoryEntry entry;
    entry.started = "2026-12-07T10:12:55.123Z";
    entry.ended = "2026-12-07T10:13:41.456Z";
    entry.host = "station-7";
    entry.user_name = "operator";
    entry.tool = "vantor-cli";
    entry.tool_version = "2.0.7";
    entry.command = "download";
    entry.port = "COM3";
    entry.device = "/dev/ttyUSB2";
    entry.baud = 19200;
    entry.result = "success";
    entry.ident_word = 8323;
    entry.hardware_revision = 2;
    entry.drive_version = "2.3";
    entry.packets_sent = 128;
    entry.images.push_back({"/srv/firmware/drive-2.3.orb", 131072, std::string(64, 'a'), 128, 128,
                            std::string(64, 'a')});
    entry.record = "{\"event\":\"summary\",\"result\":\"success\"" + std::string(1500, ' ') + "}";
    return entry;
}

int RecordAlone(const std::string& folder) {
    const std::string path = folder + "/alone.sqlite";
    std::vector<double> times;
    for (int record = 0; record < kRecords; ++record) {
        records::HistoryEntry entry = SampleEntry();
        entry.id = records::NewRecordId();
        const auto start = std::chrono::steady_clock::now();
        const records::RecordOutcome outcome = records::RecordEntry(entry, path);
        times.push_back(Ms(std::chrono::steady_clock::now() - start));
        if (!outcome.written) {
            std::fprintf(stderr, "vantor-history-bench: %s\n", outcome.error.c_str());
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    double total = 0;
    for (const double time : times) {
        total += time;
    }
    std::printf("one record into SQLite (open, write, close), %d records:\n", kRecords);
    std::printf("  mean %.2f ms  median %.2f ms  95th %.2f ms  max %.2f ms\n", total / kRecords,
                times[kRecords / 2], times[kRecords * 95 / 100], times.back());
    return 0;
}

// Runs vantor-cli with `arguments`; the wall time in ms, or a negative number when it failed.
double TimedCli(const std::vector<std::string>& arguments, const std::string& folder) {
    platform::ChildOptions options;
    options.argv = {VANTOR_CLI_PATH};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.environment_changes = {{"VANTOR_REGISTRY", folder + "/registry"},
                                   {"XDG_DATA_HOME", folder + "/data"}};
    options.out = platform::ChildStream::File(folder + "/out");
    options.err = platform::ChildStream::File(folder + "/err");
    const auto start = std::chrono::steady_clock::now();
    auto started = platform::ChildProcess::Start(options);
    if (!started) {
        return -1;
    }
    const auto& child = *started;
    const platform::ChildExit exit =
        child->Finish(std::chrono::steady_clock::now() + std::chrono::minutes(5));
    const double ms = Ms(std::chrono::steady_clock::now() - start);
    return exit.Exited() && exit.status == 0 ? ms : -1;
}

long CountLines(const std::string& path) {
    std::ifstream file(path);
    long lines = 0;
    for (std::string line; std::getline(file, line);) {
        ++lines;
    }
    return lines;
}

int LineOfStations(const std::string& folder) {
    const std::string image = folder + "/image.orb";
    const auto bytes = image_writer::ImageBuilder::Kdx(2).FillerPackets(1, 64).Build();
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    std::vector<std::string> line{"download", image, "--skip-seeking", "--virtual-time", "--quiet"};
    for (int station = 1; station <= kStations; ++station) {
        line.insert(line.end(), {"--port", "sim:seed=" + std::to_string(station)});
    }
    const std::string history = folder + "/line.sqlite";
    std::vector<std::string> recorded = line;
    recorded.insert(recorded.end(), {"--history", history});
    std::vector<std::string> unrecorded = line;
    unrecorded.push_back("--no-history");
    const double without = TimedCli(unrecorded, folder);
    const double with = TimedCli(recorded, folder);
    if (with < 0 || without < 0 ||
        TimedCli({"history", "--json", "--history", history}, folder) < 0) {
        std::fprintf(stderr, "vantor-history-bench: the line failed (see %s/err)\n",
                     folder.c_str());
        return 1;
    }
    const long records = CountLines(folder + "/out");
    std::printf("a line of %d simulated stations, virtual time, through vantor-cli:\n", kStations);
    std::printf("  %ld records of %d stations; wall %.0f ms recording, %.0f ms with --no-history\n",
                records, kStations, with, without);
    return records == kStations ? 0 : 1;
}

}  // namespace
}  // namespace vantor::bench

int main() {
    char folder[] = "/tmp/vantor-history-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        std::perror("vantor-history-bench: mkdtemp");
        return 1;
    }
    int status = vantor::bench::RecordAlone(folder);
    if (status == 0) {
        status = vantor::bench::LineOfStations(folder);
    }
    std::system(("rm -rf '" + std::string(folder) + "'").c_str());
    return status;
}
