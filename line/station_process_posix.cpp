// A station's child process on POSIX: this program again (/proc/self/exe), told its line's
// process id so that it ends with the line, started with the signals a run starts with.
#include "line/station_process.h"
#include "line/station_system.h"

#include <dirent.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/process.h"

namespace vantor::line {

namespace {

// What a station's child is told its line's process id by; the child takes it out of its
// environment at once.
constexpr const char* kLineParentVariable = "VANTOR_LINE_PARENT";
// A child started by a line whose line has already gone ends with this, as one that cannot run.
constexpr int kExitLineGone = 127;
// What the system sends a station when its line has died: the hang-up of the process in charge.
constexpr int kLineGoneSignal = SIGHUP;

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

// The line's death, told by the system: once per thread of the line that ends while the station
// is its child, so a line of many threads that is killed tells it several times within a
// millisecond. However often it comes it is one interruption: the first becomes a SIGTERM, which
// the run takes as an operator's Ctrl-C (it stops between two operations and keeps its record);
// a repeated one, taken as a second and third Ctrl-C, would end the run before its record.
std::atomic<bool> g_line_gone_told{false};

void LineGone(int) {
    if (!g_line_gone_told.exchange(true)) {
        ::kill(::getpid(), SIGTERM);
    }
}

}  // namespace

Result<void> PrepareStationChild(platform::ChildOptions& options) {
    options.program = "/proc/self/exe";
    options.environment_changes = {{kLineParentVariable, std::to_string(::getpid())}};
    // The line ignores SIGPIPE and catches the interruptions; a station starts as a run does.
    options.default_signals = true;
    return {};
}

int StationSignal(int signal_number) {
    return signal_number;
}

Result<void> MakeRoomForStations(long stations) {
    const platform::DescriptorBudget budget =
        platform::EnsureDescriptorBudget(stations, platform::kDescriptorsPerWatchedChild);
    if (budget.ok) {
        return {};
    }
    if (budget.hard_limit <= 0 || budget.hard_limit >= budget.needed) {
        return Failure{"the limit on open files cannot be raised for " + std::to_string(stations) +
                       " stations at once: " + budget.error};
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
    return Failure{text};
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
    struct sigaction action {};
    action.sa_handler = LineGone;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(kLineGoneSignal, &action, nullptr);
    ::prctl(PR_SET_PDEATHSIG, kLineGoneSignal);
    if (::getppid() != static_cast<pid_t>(parent)) {
        std::_Exit(kExitLineGone);  // the line died before the request above was in place
    }
}

std::string SignalName(int signal_number) {
    const char* description = ::strsignal(signal_number);
    return "signal " + std::to_string(signal_number) +
           (description != nullptr ? std::string(" (") + description + ")" : "");
}

}  // namespace vantor::line
