// vantor-bench: downloads a 32 KiB image in 1 KiB packets to the simulated drive at 19200 baud
// with the download job, in real time, and prints one table: the packet phase's efficiency,
// the host's turnaround per packet, the CPU time per second of download, the peak memory of
// vantor-cli doing the same, and the whole job (seek included) in virtual time.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_analysis.h"
#include "image/image_writer.h"
#include "job/job.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/serial/device_address.h"
#include "platform/serial/port_map.h"
#include "platform/serial/serial_device.h"
#include "platform/window_link.h"
#include "records/json_reader.h"
#include "sim/sim_world.h"
#include "sim/simulated_line.h"

namespace vantor::bench {
namespace {

constexpr int kPackets = 32;
constexpr std::size_t kPacketPayloadBytes = 1024;
constexpr std::uint32_t kBaudRate = 19200;
constexpr std::int64_t kCharNs = 10'000'000'000 / kBaudRate;
constexpr const char* kScheme = "benchsim";

std::int64_t WallNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The real clock, counting the sleeps: each is a wake-up of the job's thread, and the
// wake-ups are what the download's CPU time goes on.
class CountingClock final : public platform::Clock {
  public:
    std::int64_t NowNs() override { return real_.NowNs(); }
    void SleepNs(std::int64_t ns) override {
        sleeps.fetch_add(1, std::memory_order_relaxed);
        real_.SleepNs(ns);
    }
    bool IsReal() const override { return true; }

    std::atomic<std::int64_t> sleeps{0};

  private:
    platform::RealClock real_;
};

CountingClock g_counting_clock;

// A moment of the job on both clocks, with the CPU time used so far.
struct Mark {
    std::int64_t clock_ns = -1;  // the process clock (virtual in the virtual-time run)
    std::int64_t wall_ns = -1;
    double cpu_s = 0;
    std::int64_t sleeps = 0;
    bool Set() const { return clock_ns >= 0; }
};

Mark Now() {
    return {platform::NowNs(), WallNs(), CpuSeconds(), g_counting_clock.sleeps.load()};
}

// Notes when the resynchronisation's first break and the init frame's first byte go out.
Mark g_first_break;
Mark g_first_init_byte;

// The moments the benchmark reads off the job's window: the seek's last address, the
// identification, the first packet and the end of the image.
class BenchWindow final : public platform::WindowLink {
  public:
    void SetText(platform::Display display, const std::string& text) override {
        if (display == platform::Display::AddressLabel) {
            // The seek ends with the found address shown; retries after a failed
            // resynchronisation show it again and do not count.
            if (!g_first_break.Set()) {
                address_shown = Now();
            }
        } else if (display == platform::Display::VersionLabel) {
            identified = Now();
        } else if (display == platform::Display::StatusLine) {
            last_status = text;
            resyncs += text == "Attempting to resychronize communications" ? 1 : 0;
            if (text == "Download successful") {
                image_done = Now();
            }
        }
    }
    std::string GetText(platform::Display) override { return {}; }
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int pos) override {
        // The seek moves the bar too; the packets come after the identification.
        if (pos == 1 && identified.Set() && !first_packet.Set()) {
            first_packet = Now();
        }
    }
    void MessageBox(const std::string& text, const std::string&, platform::MessageIcon) override {
        last_status = text;
    }
    void Post(int, int) override {}
    void PostQuit() override {}

    Mark address_shown, identified, first_packet, image_done;
    std::string last_status;
    int resyncs = 0;  // packets sent again
};

// The simulated drive the job's COM1 reaches, kept here so that its traffic can be read.
std::shared_ptr<sim::SimWorld> g_world;

platform::OpenedDevice OpenBenchWorld(const std::string&) {
    if (!g_world) {
        return Failure{"no simulated drive"};
    }
    return std::make_unique<sim::SimulatedLine>(g_world);
}

class StageProbe final : public platform::SerialDevice {
  public:
    explicit StageProbe(std::unique_ptr<platform::SerialDevice> inner) : inner_(std::move(inner)) {}
    bool GetSettings(platform::LineSettings& s) override { return inner_->GetSettings(s); }
    bool SetSettings(const platform::LineSettings& s) override { return inner_->SetSettings(s); }
    bool SetQueueSizes(std::uint32_t rx, std::uint32_t tx) override {
        return inner_->SetQueueSizes(rx, tx);
    }
    bool Read(std::uint8_t* b, std::size_t max, std::size_t& got) override {
        return inner_->Read(b, max, got);
    }
    bool Write(const std::uint8_t* b, std::size_t n, std::size_t& written) override {
        if (g_first_break.Set() && !g_first_init_byte.Set() && n > 0 && b[0] == 0xA5) {
            g_first_init_byte = Now();
        }
        return inner_->Write(b, n, written);
    }
    bool ClearError(std::uint32_t& e, std::uint32_t& w) override {
        return inner_->ClearError(e, w);
    }
    bool Purge(std::uint32_t flags) override { return inner_->Purge(flags); }
    bool SetBreak() override {
        if (!g_first_break.Set()) {
            g_first_break = Now();
        }
        return inner_->SetBreak();
    }
    bool ClearBreak() override { return inner_->ClearBreak(); }
    bool Close() override { return inner_->Close(); }
    platform::DeviceCondition Condition() const override { return inner_->Condition(); }
    bool AwaitsInput() const override { return inner_->AwaitsInput(); }
    void AwaitInput(int ms) override { inner_->AwaitInput(ms); }

  private:
    std::unique_ptr<platform::SerialDevice> inner_;
};

std::unique_ptr<platform::SerialDevice> WrapWithProbe(std::unique_ptr<platform::SerialDevice> d) {
    return std::make_unique<StageProbe>(std::move(d));
}

sim::SimOptions SimOptionsOrExit(const std::string& text) {
    const auto options = sim::ParseSimOptions(text);
    if (!options) {
        std::fprintf(stderr, "vantor-bench: sim options \"%s\": %s\n", text.c_str(),
                     options.reason().c_str());
        std::exit(64);
    }
    return *options;
}

struct JobRun {
    int result = 0;
    BenchWindow window;
    Mark start, end;
    std::vector<sim::LineEvent> traffic;
    sim::SimOptions options;
};

// Runs the job on COM1, which stands for a fresh simulated drive with `sim_options`.
void RunJob(const std::string& image_path, const std::string& sim_options, bool skip_seeking,
            JobRun& run) {
    run.options = SimOptionsOrExit(sim_options);
    g_world = std::make_shared<sim::SimWorld>(run.options);
    g_first_break = {};
    g_first_init_byte = {};
    platform::RegisterDeviceScheme(kScheme, &OpenBenchWorld);
    platform::SetDeviceWrapper(&WrapWithProbe);
    JobHost host;
    host.Options.Ports.Set(1, kScheme);
    host.Options.PortIndex = 0;
    host.Options.BaudChoice = 1;
    host.Options.SkipSeeking = skip_seeking ? 1 : 0;
    host.Options.ImagePath = image_path;
    platform::ScopedWindowLink scoped(run.window);
    host.JobRunning = 1;
    run.start = Now();
    run.result = DesignCode(DownloadJob(host));
    run.end = Now();
    run.traffic = g_world->Traffic();
    platform::SetDeviceWrapper(nullptr);
    g_world.reset();
}

struct RealTimeFigures {
    int result = 0;
    std::string last_status;
    double wall_s = 0, line_s = 0, drive_s = 0, host_s = 0;
    double efficiency = 0, cpu_per_s = 0, sleeps_per_s = 0;
    double turnaround_median_ms = 0, turnaround_max_ms = 0;
    std::size_t turnarounds = 0;
};

RealTimeFigures MeasureRealTime(const std::string& image_path, const std::string& sim_options) {
    platform::ScopedClock scoped(g_counting_clock);
    JobRun run;
    RunJob(image_path, sim_options, true, run);
    RealTimeFigures figures;
    figures.result = run.result;
    figures.last_status = run.window.last_status;
    const Mark& from = run.window.first_packet;
    const Mark& to = run.window.image_done;
    if (run.result != 0 || !from.Set() || !to.Set()) {
        return figures;
    }
    const FifoModel fifo{run.options.fifo_trigger, run.options.fifo_timeout_chars, kCharNs};
    const PacketPhase phase = AnalysePacketPhase(run.traffic, from.clock_ns, to.clock_ns, fifo);
    figures.wall_s = static_cast<double>(to.wall_ns - from.wall_ns) / 1e9;
    figures.line_s = static_cast<double>(phase.line_ns) / 1e9;
    figures.drive_s = static_cast<double>(phase.drive_ns) / 1e9;
    figures.host_s = static_cast<double>(phase.host_ns) / 1e9;
    figures.efficiency = (figures.line_s + figures.drive_s) / figures.wall_s;
    figures.cpu_per_s = (to.cpu_s - from.cpu_s) / figures.wall_s;
    figures.sleeps_per_s = static_cast<double>(to.sleeps - from.sleeps) / figures.wall_s;
    figures.turnaround_median_ms = Median(phase.turnaround_ms);
    for (double ms : phase.turnaround_ms) {
        figures.turnaround_max_ms = std::max(figures.turnaround_max_ms, ms);
    }
    figures.turnarounds = phase.turnaround_ms.size();
    return figures;
}

struct CliFigures {
    int status = -1;
    long max_rss_kib = 0;
    double wall_s = 0, cpu_s = 0;
};

// A vantor-cli run of the benchmark that has not ended after this long is taken as hung.
constexpr auto kCliDeadline = std::chrono::minutes(10);

// Starts vantor-cli with `arguments` and stdout to `out`, and waits for its end; nullopt when it
// could not be started.
std::optional<platform::ChildExit> RunCli(const std::vector<std::string>& arguments,
                                          platform::ChildStream out) {
    platform::ChildOptions options;
    options.argv = {VANTOR_CLI_PATH};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.in = platform::ChildStream::Inherit();
    options.out = std::move(out);
    auto child = platform::ChildProcess::Start(options).ValueOr(nullptr);
    if (!child) {
        return std::nullopt;
    }
    return child->Finish(std::chrono::steady_clock::now() + kCliDeadline);
}

// Runs vantor-cli itself on a real-time download and reads its peak memory at its end.
CliFigures MeasureCli(const std::string& image_path, const std::string& sim_options) {
    const std::string port = "sim:" + sim_options;
    CliFigures figures;
    const std::int64_t start_ns = WallNs();
    const auto exit = RunCli(
        {"download", image_path, "--port", port, "--baud", "19200", "--skip-seeking", "--quiet"},
        platform::ChildStream::Null());
    if (!exit) {
        return figures;
    }
    figures.wall_s = static_cast<double>(WallNs() - start_ns) / 1e9;
    figures.status = exit->Exited() ? exit->status : -1;
    figures.max_rss_kib = exit->peak_memory_kib;
    figures.cpu_s = exit->cpu_s;
    return figures;
}

struct Stage {
    const char* name;
    Mark from, to;
};

void PrintVirtualStages(const std::string& image_path, const std::string& sim_options) {
    platform::VirtualClock clock(1'000'000'000);
    platform::ScopedClock scoped(clock);
    JobRun run;
    RunJob(image_path, sim_options, false, run);
    const BenchWindow& w = run.window;
    const Stage stages[] = {
        {"seek", run.start, w.address_shown},
        {"activation", w.address_shown, g_first_break},
        {"resync", g_first_break, g_first_init_byte},
        {"identification", g_first_init_byte, w.identified},
        {"all packets", w.first_packet, w.image_done},
        {"whole job (tone included)", run.start, run.end},
    };
    std::printf(
        "virtual time, full job (sim:%s), result %d%s%s:\n", sim_options.c_str(), run.result,
        run.result == 0 ? "" : ", last text: ", run.result == 0 ? "" : w.last_status.c_str());
    if (w.first_packet.Set() && w.image_done.Set()) {
        const FifoModel fifo{run.options.fifo_trigger, run.options.fifo_timeout_chars, kCharNs};
        const PacketPhase phase =
            AnalysePacketPhase(run.traffic, w.first_packet.clock_ns, w.image_done.clock_ns, fifo);
        std::printf(
            "  simulated packet phase: %.3f s line + %.3f s drive + %.3f s host side, %d "
            "packets sent again\n",
            static_cast<double>(phase.line_ns) / 1e9, static_cast<double>(phase.drive_ns) / 1e9,
            static_cast<double>(phase.host_ns) / 1e9, w.resyncs);
    }
    for (const Stage& stage : stages) {
        if (!stage.from.Set() || !stage.to.Set()) {
            std::printf("  %-28s not reached\n", stage.name);
            continue;
        }
        std::printf("  %-28s %9.3f ms wall   (%8.3f s simulated)\n", stage.name,
                    static_cast<double>(stage.to.wall_ns - stage.from.wall_ns) / 1e6,
                    static_cast<double>(stage.to.clock_ns - stage.from.clock_ns) / 1e9);
    }
}

void PrintRealTime(const char* label, const RealTimeFigures& f) {
    if (f.result != 0) {
        std::printf("%s: the job ended with %d (%s)\n", label, f.result, f.last_status.c_str());
        return;
    }
    std::printf("%s: packet phase %.3f s wall = %.3f s line + %.3f s drive + %.3f s host side\n",
                label, f.wall_s, f.line_s, f.drive_s, f.wall_s - f.line_s - f.drive_s);
    std::printf("  %-46s %10.4f   >= 0.98  %s\n", "efficiency", f.efficiency,
                f.efficiency >= 0.98 ? "met" : "MISSED");
    std::printf("  %-46s %7.3f ms   <= 1.5 ms %s  (max %.3f ms, %zu packets)\n",
                "host turnaround per packet, median", f.turnaround_median_ms,
                f.turnaround_median_ms <= 1.5 ? "met" : "MISSED", f.turnaround_max_ms,
                f.turnarounds);
    std::printf("  %-46s %10.4f   <= 0.03  %s\n", "CPU seconds per second of download", f.cpu_per_s,
                f.cpu_per_s <= 0.03 ? "met" : "MISSED");
    std::printf("  %-46s %10.0f   (%.1f us of CPU each)\n", "sleeps of the job's thread per second",
                f.sleeps_per_s, f.sleeps_per_s > 0 ? f.cpu_per_s / f.sleeps_per_s * 1e6 : 0.0);
}

// Runs vantor-cli with `arguments`, stdout into `out_path`; the wall time in seconds and
// the exit status.
std::pair<double, int> RunCliTimed(const std::vector<std::string>& arguments,
                                   const std::string& out_path) {
    const std::int64_t start_ns = WallNs();
    const auto exit = RunCli(arguments, platform::ChildStream::File(out_path));
    if (!exit) {
        return {0.0, -1};
    }
    return {static_cast<double>(WallNs() - start_ns) / 1e9, exit->Exited() ? exit->status : -1};
}

// What one station's event stream showed: its packet phase on its own clock, and its CPU.
struct StationRun {
    bool identified = false;
    double first_packet_ms = -1, done_ms = -1;
    double cpu_s = 0;
    bool success = false;
};

std::map<int, StationRun> ReadStations(const std::string& path) {
    std::map<int, StationRun> stations;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        const records::JsonMembers members(line);
        const auto number = members.Number("station");
        if (!number) {
            continue;
        }
        StationRun& station = stations[static_cast<int>(*number)];
        const std::string event = members.String("event").value_or("");
        const double ms = members.Number("time_ms").value_or(0);
        if (event == "label" && members.String("display").value_or("") == "VersionLabel") {
            station.identified = true;
        } else if (event == "progress" && station.identified && station.first_packet_ms < 0 &&
                   members.Number("position").value_or(0) == 1) {
            station.first_packet_ms = ms;
        } else if (event == "status" &&
                   members.String("text").value_or("") == "Download successful") {
            station.done_ms = ms;
        } else if (event == "station-end") {
            station.cpu_s = members.Number("cpu_s").value_or(0);
            station.success = members.String("result").value_or("") == "success";
        }
    }
    return stations;
}

// A production line of N stations, each on a simulated drive of its own, in real time: the
// line's wall time against one station's, each station's packet-phase efficiency, and the
// CPU each station's process used.
void RunLineBench(const std::string& image_path, const std::vector<int>& counts) {
    // The packet phase's line and drive time does not depend on the host: it is read once
    // from the same job on virtual time.
    platform::VirtualClock clock(1'000'000'000);
    double ideal_s = 0;
    {
        platform::ScopedClock scoped(clock);
        JobRun run;
        RunJob(image_path, "address=1", false, run);
        const FifoModel fifo{run.options.fifo_trigger, run.options.fifo_timeout_chars, kCharNs};
        const PacketPhase phase = AnalysePacketPhase(run.traffic, run.window.first_packet.clock_ns,
                                                     run.window.image_done.clock_ns, fifo);
        ideal_s = static_cast<double>(phase.line_ns + phase.drive_ns) / 1e9;
    }
    const std::string out_path = image_path + ".events";
    const std::vector<std::string> common{"download", image_path, "--baud", "19200"};
    std::vector<std::string> single = common;
    single.insert(single.end(), {"--port", "sim:address=1", "--quiet"});
    const auto [single_s, single_status] = RunCliTimed(single, out_path);
    std::printf(
        "production line, real time: one station alone (sim:address=1): %.2f s wall, "
        "exit %d; packet phase's line + drive time %.3f s\n",
        single_s, single_status, ideal_s);
    std::printf("  %8s %10s %9s %14s %14s %9s %12s %6s\n", "stations", "line wall", "x single",
                "efficiency min", "median", "< 0.97", "CPU/station", "exit");
    for (const int count : counts) {
        std::vector<std::string> arguments = common;
        for (int k = 1; k <= count; ++k) {
            arguments.insert(arguments.end(),
                             {"--port", "sim:address=" + std::to_string((k - 1) % 31 + 1) +
                                            ",seed=" + std::to_string(k)});
        }
        // --max-parallel makes even one station a line, with a process of its own.
        arguments.insert(arguments.end(), {"--max-parallel", std::to_string(count), "--json"});
        const auto [wall_s, status] = RunCliTimed(arguments, out_path);
        std::vector<double> efficiencies;
        double cpu_s = 0;
        int below = 0;
        for (const auto& [number, station] : ReadStations(out_path)) {
            const double phase_s = (station.done_ms - station.first_packet_ms) / 1e3;
            const double efficiency =
                station.success && station.first_packet_ms >= 0 ? ideal_s / phase_s : 0.0;
            efficiencies.push_back(efficiency);
            below += efficiency < 0.97 ? 1 : 0;
            cpu_s += station.cpu_s;
        }
        const double lowest =
            efficiencies.empty() ? 0 : *std::min_element(efficiencies.begin(), efficiencies.end());
        std::printf("  %8d %8.2f s %9.4f %14.4f %14.4f %9d %10.3f s %6d\n", count, wall_s,
                    wall_s / single_s, lowest, Median(efficiencies), below,
                    efficiencies.empty() ? 0.0 : cpu_s / static_cast<double>(efficiencies.size()),
                    status);
        std::fflush(stdout);
    }
    std::remove(out_path.c_str());
}

int Main(int argc, char** argv) {
    std::vector<std::string> fifo_options{"fifo=1", "fifo=14"};
    bool run_cli = true;
    std::vector<int> line_counts;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--line") {
            line_counts = {1, 8, 32, 64};
        } else if (argument == "--line-stations" && i + 1 < argc) {
            line_counts.push_back(std::atoi(argv[++i]));
        } else if (argument == "--no-cli") {
            run_cli = false;
        } else if (argument == "--sim" && i + 1 < argc) {
            fifo_options = {argv[++i]};
        } else {
            std::fprintf(stderr,
                         "usage: vantor-bench [--sim OPTIONS] [--no-cli]\n"
                         "       vantor-bench --line | --line-stations N ...\n"
                         "  --line         a production line of 1, 8, 32 and 64 stations instead\n"
                         "  --line-stations N  a line of N stations (may be repeated)\n"
                         "  --sim OPTIONS  the simulated drive's options for the real-time runs\n"
                         "                 (default: once with fifo=1, once with fifo=14)\n"
                         "  --no-cli       skip the vantor-cli run (peak memory)\n");
            return 64;
        }
    }
    const std::string image_path = image_writer::ImageBuilder::Kdx(2)
                                       .FillerPackets(kPackets, kPacketPayloadBytes)
                                       .WriteTemp("vantor-bench");
    if (image_path.empty()) {
        std::fprintf(stderr, "vantor-bench: cannot write the image\n");
        return 1;
    }
    if (!line_counts.empty()) {
        RunLineBench(image_path, line_counts);
        std::remove(image_path.c_str());
        return 0;
    }
    std::printf("vantor-bench: %d packets of %zu bytes (32 KiB), %u baud, simulated drive\n\n",
                kPackets, kPacketPayloadBytes, kBaudRate);
    std::fflush(stdout);
    for (const std::string& options : fifo_options) {
        const RealTimeFigures figures = MeasureRealTime(image_path, options);
        PrintRealTime(("real time, sim:" + options).c_str(), figures);
        std::fflush(stdout);
    }
    if (run_cli) {
        const CliFigures cli = MeasureCli(image_path, fifo_options.front());
        std::printf("vantor-cli download, real time, sim:%s: exit %d, %.2f s wall, %.3f CPU s\n",
                    fifo_options.front().c_str(), cli.status, cli.wall_s, cli.cpu_s);
        std::printf("  %-46s %7.1f MiB\n", "peak resident memory of vantor-cli",
                    static_cast<double>(cli.max_rss_kib) / 1024.0);
    }
    // The seek runs with the default FIFO: with fifo=1 the probe sees two bytes of the
    // three-byte answer and misses the drive (see docs/cli.md).
    PrintVirtualStages(image_path, "address=5");
    std::remove(image_path.c_str());
    return 0;
}

}  // namespace
}  // namespace vantor::bench

int main(int argc, char** argv) {
    return vantor::bench::Main(argc, argv);
}
