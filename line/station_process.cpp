// Starting and watching a station's child process, on every system: this program again as a
// child of platform/process.h, its pipes and its end watched together with every other
// station's. What differs between systems (which program this is, what the child is told, how
// an interruption reaches it) is in station_process_posix.cpp and win/station_process_win.cpp.
#include "line/station_process.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "line/station_system.h"
#include "platform/process.h"

namespace vantor::line {

namespace {

using platform::ChildProcess;
using platform::OutputStream;

// How long a wait for the stations lasts at most while none writes anything or ends.
constexpr auto kWaitMost = std::chrono::milliseconds(100);
// Output held per stream between waits: a station at its limit waits on its pipe, and the line
// takes it all after each wait.
constexpr std::size_t kOutputHeldBytes = 256 * 1024;

StationExit ExitOf(const platform::ChildExit& exit) {
    StationExit station_exit;
    station_exit.exited = exit.Exited();
    station_exit.status = station_exit.exited ? exit.status : -1;
    station_exit.signal = exit.signal;
    station_exit.cpu_s = exit.cpu_s;
    station_exit.max_rss_kib = exit.peak_memory_kib;
    return station_exit;
}

}  // namespace

struct StationProcess::Handles {
    std::unique_ptr<ChildProcess> child;
};

StationProcess::StationProcess() = default;
StationProcess::~StationProcess() = default;
StationProcess::StationProcess(StationProcess&& other) noexcept = default;
StationProcess& StationProcess::operator=(StationProcess&& other) noexcept = default;

Result<StationProcess> StationProcess::Start(const std::vector<std::string>& arguments) {
    platform::ChildOptions options;
    options.argv = {"vantor-cli"};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.in = platform::ChildStream::Null();
    options.out = platform::ChildStream::Pipe();
    options.err = platform::ChildStream::Pipe();
    options.own_process_group = true;
    options.output_limit_bytes = kOutputHeldBytes;
    if (Result<void> prepared = PrepareStationChild(options); !prepared) {
        return Failure{"cannot start a station process: " + prepared.reason()};
    }
    auto child = ChildProcess::Start(options);
    if (!child) {
        return Failure{"cannot start a station process: " + child.reason()};
    }
    StationProcess process;
    process.handles_ = std::make_unique<Handles>();
    process.handles_->child = std::move(*child);
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
    // The child is done once it has been reaped and both its streams have come to their end.
    if (!child.exit() || !child.OutputEnded(OutputStream::kOut) ||
        !child.OutputEnded(OutputStream::kErr)) {
        return std::nullopt;
    }
    return ExitOf(*child.exit());
}

void StationProcess::Interrupt(int signal_number) {
    if (handles_) {
        handles_->child->Signal(StationSignal(signal_number));
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

std::optional<StationsUnavailable> StationsUnavailableHere() {
    return std::nullopt;
}

}  // namespace vantor::line
