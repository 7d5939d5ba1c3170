// Starting and watching a station's child process on POSIX: this program again
// (/proc/self/exe) as a child of platform/process.h, its pipes and its end watched together with
// every other station's in one wait set.
#include "cli/line/station_process.h"

#include <dirent.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/process.h"

namespace vantor::cli {

namespace {

using platform::ChildProcess;
using platform::OutputStream;

// What a station's child is told its line's process id by; the child takes it out of its
// environment at once.
constexpr const char* kLineParentVariable = "VANTOR_LINE_PARENT";
// A child started by a line whose line has already gone ends with this, as one that cannot run.
constexpr int kExitLineGone = 127;
// How long a wait for the stations lasts at most while none writes anything or ends.
constexpr auto kWaitMost = std::chrono::milliseconds(100);
// Output held per stream between waits: a wait reads at most one chunk of each stream, and the
// line takes it all after each wait.
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

// A line that also serves HTTP (vantor-cli serve) may start a station while a connection is
// open; the station must not hold that connection, or the listening socket, open after the
// line has closed them.
void CloseInheritedSockets() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return;
    }
    const int own = ::dirfd(folder);
    std::vector<int> sockets;
    while (const dirent* entry = ::readdir(folder)) {
        int fd = -1;
        const char* end = entry->d_name + std::strlen(entry->d_name);
        if (std::from_chars(entry->d_name, end, fd).ptr != end || fd <= STDERR_FILENO ||
            fd == own) {
            continue;
        }
        struct stat status {};
        if (::fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode)) {
            sockets.push_back(fd);
        }
    }
    ::closedir(folder);
    for (const int fd : sockets) {
        ::close(fd);
    }
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
    platform::ChildOptions options;
    options.program = "/proc/self/exe";
    options.argv = {"vantor-cli"};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.environment_changes = {{kLineParentVariable, std::to_string(::getpid())}};
    options.in = platform::ChildStream::Null();
    options.out = platform::ChildStream::Pipe();
    options.err = platform::ChildStream::Pipe();
    options.own_process_group = true;
    // The line ignores SIGPIPE and catches the interruptions; a station starts as a run does.
    options.default_signals = true;
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
    // The child is done once it has been reaped and both its streams have come to their end.
    if (!child.exit() || !child.OutputEnded(OutputStream::kOut) ||
        !child.OutputEnded(OutputStream::kErr)) {
        return std::nullopt;
    }
    return ExitOf(*child.exit());
}

void StationProcess::Interrupt(int signal_number) {
    if (handles_) {
        handles_->child->Signal(signal_number);
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

std::optional<std::string> MakeRoomForStations(long stations) {
    const platform::DescriptorBudget budget =
        platform::EnsureDescriptorBudget(stations, platform::kDescriptorsPerWatchedChild);
    if (budget.ok) {
        return std::nullopt;
    }
    if (budget.hard_limit <= 0 || budget.hard_limit >= budget.needed) {
        return "the limit on open files cannot be raised for " + std::to_string(stations) +
               " stations at once: " + budget.error;
    }
    // What the line holds besides its stations' descriptors.
    const long own = budget.needed - stations * platform::kDescriptorsPerWatchedChild;
    const long fitting = (budget.hard_limit - own) / platform::kDescriptorsPerWatchedChild;
    std::string text = std::to_string(stations) + " stations at once need " +
                       std::to_string(budget.needed) + " open files, and the limit is " +
                       std::to_string(budget.hard_limit) + " (ulimit -Hn): raise it";
    if (fitting > 0) {
        text += ", or give --max-parallel " + std::to_string(fitting) + " or less";
    }
    return text;
}

void TieStationToLine() {
    const char* parent_text = std::getenv(kLineParentVariable);
    if (parent_text == nullptr) {
        return;
    }
    long parent = 0;
    const char* end = parent_text + std::strlen(parent_text);
    const auto parsed = std::from_chars(parent_text, end, parent);
    ::unsetenv(kLineParentVariable);
    if (parsed.ec != std::errc() || parsed.ptr != end || parent <= 0) {
        return;
    }
    CloseInheritedSockets();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != static_cast<pid_t>(parent)) {
        std::_Exit(kExitLineGone);  // the line died before the request above was in place
    }
}

std::string SignalName(int signal_number) {
    const char* description = ::strsignal(signal_number);
    return "signal " + std::to_string(signal_number) +
           (description != nullptr ? std::string(" (") + description + ")" : "");
}

std::optional<StationsUnavailable> StationsUnavailableHere() {
    return std::nullopt;
}

}  // namespace vantor::cli
