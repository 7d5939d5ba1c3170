// Starting and watching a station's child process on Windows: this program again (its own
// module's path) as a child of platform/process.h, whose readers fill each station's buffers and
// whose wait wakes for any station that wrote or ended. Each child leads a process group of its
// own, so a Ctrl-C at the console reaches only the line, which passes it on through the station's
// interrupt channel (platform/win/interrupt_channel.h) as a Ctrl-C on the station's console; and
// each is in the job object that ends every child when the line ends, however it ends.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <utility>
#include <vector>

#include "cli/line/station_process.h"
#include "platform/process.h"
#include "platform/win/interrupt_channel.h"

namespace vantor::cli {

namespace {

using platform::ChildProcess;
using platform::OutputStream;

// How long a wait for the stations lasts at most while none writes anything or ends.
constexpr auto kWaitMost = std::chrono::milliseconds(100);
// Output held per stream between waits; a station at its limit waits on its pipe.
constexpr std::size_t kOutputHeldBytes = 256 * 1024;
// The longest module path asked for (the system's own limit for long paths).
constexpr DWORD kPathMost = 32768;
// SIGKILL's number, which the C runtime here does not name: a killed station's end reads as it.
constexpr int kSigKill = 9;

StationExit ExitOf(const platform::ChildExit& exit) {
    StationExit station_exit;
    station_exit.exited = exit.Exited();
    station_exit.status = station_exit.exited ? exit.status : -1;
    station_exit.signal = exit.signal;
    station_exit.cpu_s = exit.cpu_s;
    station_exit.max_rss_kib = exit.peak_memory_kib;
    return station_exit;
}

std::optional<std::string> OwnProgram() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::nullopt;
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        if (path.size() >= kPathMost) {
            return std::nullopt;
        }
        path.resize(std::min<std::size_t>(path.size() * 2, kPathMost));
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), narrow.data(),
                          size, nullptr, nullptr);
    return narrow;
}

}  // namespace

struct StationProcess::Handles {
    std::unique_ptr<ChildProcess> child;
};

StationProcess::StationProcess() = default;
StationProcess::~StationProcess() = default;
StationProcess::StationProcess(StationProcess&& other) noexcept = default;
StationProcess& StationProcess::operator=(StationProcess&& other) noexcept = default;

std::optional<StationProcess> StationProcess::Start(const std::vector<std::string>& arguments,
                                                    std::string* error) {
    const std::optional<std::string> program = OwnProgram();
    if (!program) {
        *error = "cannot start a station process: this program's own path is unknown";
        return std::nullopt;
    }
    platform::ChildOptions options;
    options.program = *program;
    options.argv = {"vantor-cli"};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.in = platform::ChildStream::Null();
    options.out = platform::ChildStream::Pipe();
    options.err = platform::ChildStream::Pipe();
    options.own_process_group = true;
    options.output_limit_bytes = kOutputHeldBytes;
    std::string why;
    auto child = ChildProcess::Start(options, &why);
    if (!child) {
        *error = "cannot start a station process: " + why;
        return std::nullopt;
    }
    StationProcess process;
    process.handles_ = std::make_unique<Handles>();
    process.handles_->child = std::move(child);
    return process;
}

long StationProcess::Id() const {
    return handles_ ? handles_->child->id() : -1;
}

std::optional<StationExit> StationProcess::TakeOutput(const LineHandler& on_event,
                                                      const LineHandler& on_error) {
    if (!handles_) {
        return std::nullopt;
    }
    ChildProcess& child = *handles_->child;
    events_.Feed(child.TakeOutput(OutputStream::kOut), on_event);
    errors_.Feed(child.TakeOutput(OutputStream::kErr), on_error);
    if (!child.exit() || !child.OutputEnded(OutputStream::kOut) ||
        !child.OutputEnded(OutputStream::kErr)) {
        return std::nullopt;
    }
    return ExitOf(*child.exit());
}

// A console has one interruption a process can be sent, Ctrl-C: SIGINT and SIGTERM alike reach
// the station as that, and it winds down as an interrupted run does.
void StationProcess::Interrupt(int /*signal_number*/) {
    if (handles_) {
        handles_->child->Signal(SIGINT);
    }
}

void StationProcess::Kill() {
    if (handles_) {
        handles_->child->Kill();
    }
}

std::vector<StationProcess*> WaitForStations(const std::vector<StationProcess*>& running) {
    platform::ProcessWaitSet set;
    for (StationProcess* process : running) {
        if (process->handles_) {
            set.Add(*process->handles_->child);
        }
    }
    std::vector<ChildProcess*> changed = set.Wait(std::chrono::steady_clock::now() + kWaitMost);
    std::sort(changed.begin(), changed.end());
    std::vector<StationProcess*> ready;
    for (StationProcess* process : running) {
        if (process->handles_ &&
            std::binary_search(changed.begin(), changed.end(), process->handles_->child.get())) {
            ready.push_back(process);
        }
    }
    return ready;
}

// The readers and the wait hold no system limit that a line of stations comes near.
std::optional<std::string> MakeRoomForStations(long /*stations*/) {
    return std::nullopt;
}

// The job object the line puts each station into before it runs ends the station with the line;
// the station listens for the Ctrl-C that the line passes on.
void TieStationToLine() {
    platform::ListenToParentInterruptions();
}

std::string SignalName(int signal_number) {
    switch (signal_number) {
        case SIGINT:
            return "signal 2 (Interrupt)";
        case kSigKill:
            return "signal 9 (Killed)";
        case SIGTERM:
            return "signal 15 (Terminated)";
        default:
            return "signal " + std::to_string(signal_number);
    }
}

std::optional<StationsUnavailable> StationsUnavailableHere() {
    return std::nullopt;
}

}  // namespace vantor::cli
