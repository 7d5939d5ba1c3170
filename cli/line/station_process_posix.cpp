// Starting and watching a station's child process on POSIX: fork and exec of /proc/self/exe,
// pipes read without blocking through poll, wait4 for the end and what it cost.
#include "cli/line/station_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

extern char** environ;

namespace vantor::cli {

namespace {

constexpr std::size_t kReadChunkBytes = 16384;
// At most this many chunks are read from one stream per call, so that one chatty station
// cannot keep the parent from the others.
constexpr int kChunksPerCall = 8;
// How long a wait for the stations lasts at most: while every child writes nothing, and while
// one has closed its streams but is not yet reaped.
constexpr int kPollIdleMs = 100;
constexpr int kPollReapMs = 5;

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// In the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void BecomeStation(pid_t parent, int events_fd, int errors_fd, char** argv) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) {
        ::_exit(127);  // the parent died before the request above was in place
    }
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    const int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd < 0 || ::dup2(null_fd, STDIN_FILENO) < 0 || ::dup2(events_fd, STDOUT_FILENO) < 0 ||
        ::dup2(errors_fd, STDERR_FILENO) < 0) {
        ::_exit(127);
    }
    ::execve("/proc/self/exe", argv, environ);
    ::_exit(127);
}

void CloseBoth(int fds[2]) {
    ::close(fds[0]);
    ::close(fds[1]);
}

// Reads what is waiting on `fd` into `splitter`; false once the writer has gone (or the read
// failed), and the descriptor is then closed and set to -1.
bool ReadStream(int& fd, LineSplitter& splitter, const LineHandler& on_line) {
    if (fd < 0) {
        return false;
    }
    char buffer[kReadChunkBytes];
    for (int chunk = 0; chunk < kChunksPerCall; ++chunk) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            splitter.Feed(std::string_view(buffer, static_cast<std::size_t>(got)), on_line);
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        ::close(fd);
        fd = -1;
        return false;
    }
    return true;
}

// The child's end, when it has ended; nothing while it runs.
std::optional<StationExit> ReapChild(pid_t pid) {
    int wait_status = 0;
    rusage usage{};
    pid_t ended = -1;
    do {
        ended = ::wait4(pid, &wait_status, WNOHANG, &usage);
    } while (ended < 0 && errno == EINTR);
    if (ended == 0) {
        return std::nullopt;
    }
    StationExit exit;
    if (ended < 0) {
        exit.status = -1;  // somebody else reaped it: nothing is known of its end
        return exit;
    }
    exit.exited = WIFEXITED(wait_status);
    exit.status = exit.exited ? WEXITSTATUS(wait_status) : -1;
    exit.signal = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
    exit.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    exit.max_rss_kib = usage.ru_maxrss;
    return exit;
}

}  // namespace

struct StationProcess::Handles {
    pid_t pid = -1;
    int events_fd = -1;  // the child's stdout, non-blocking
    int errors_fd = -1;  // the child's stderr, non-blocking

    Handles() = default;
    Handles(const Handles&) = delete;
    Handles& operator=(const Handles&) = delete;
    ~Handles() {
        for (const int fd : {events_fd, errors_fd}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
};

StationProcess::StationProcess() = default;
StationProcess::~StationProcess() = default;
StationProcess::StationProcess(StationProcess&& other) noexcept = default;
StationProcess& StationProcess::operator=(StationProcess&& other) noexcept = default;

std::optional<StationProcess> StationProcess::Start(const std::vector<std::string>& arguments,
                                                    std::string* error) {
    std::vector<std::string> texts{"vantor-cli"};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv = Pointers(texts);
    int events[2];
    int errors[2];
    if (::pipe2(events, O_CLOEXEC) != 0) {
        *error = std::string("no pipe: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (::pipe2(errors, O_CLOEXEC) != 0) {
        *error = std::string("no pipe: ") + std::strerror(errno);
        CloseBoth(events);
        return std::nullopt;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        BecomeStation(parent, events[1], errors[1], argv.data());
    }
    const int fork_errno = errno;
    ::close(events[1]);
    ::close(errors[1]);
    if (pid < 0) {
        *error = std::string("cannot start a station process: ") + std::strerror(fork_errno);
        ::close(events[0]);
        ::close(errors[0]);
        return std::nullopt;
    }
    // The child also joins its own group itself; doing it here as well closes the window in
    // which a Ctrl-C could still reach it through the terminal.
    ::setpgid(pid, pid);
    ::fcntl(events[0], F_SETFL, O_NONBLOCK);
    ::fcntl(errors[0], F_SETFL, O_NONBLOCK);
    StationProcess process;
    process.handles_ = std::make_unique<Handles>();
    process.handles_->pid = pid;
    process.handles_->events_fd = events[0];
    process.handles_->errors_fd = errors[0];
    return process;
}

long StationProcess::Id() const {
    return handles_ ? handles_->pid : -1;
}

void StationProcess::Read(const LineHandler& on_event, const LineHandler& on_error) {
    if (handles_) {
        ReadStream(handles_->events_fd, events_, on_event);
        ReadStream(handles_->errors_fd, errors_, on_error);
    }
}

bool StationProcess::StreamsEnded() const {
    return !handles_ || (handles_->events_fd < 0 && handles_->errors_fd < 0);
}

std::optional<StationExit> StationProcess::Reap(const LineHandler& on_event,
                                                const LineHandler& on_error) {
    if (!handles_) {
        return std::nullopt;
    }
    const auto exit = ReapChild(handles_->pid);
    if (!exit) {
        return std::nullopt;
    }
    // The child is gone: what it wrote is all in the pipes.
    while (ReadStream(handles_->events_fd, events_, on_event)) {
    }
    while (ReadStream(handles_->errors_fd, errors_, on_error)) {
    }
    return exit;
}

void StationProcess::Interrupt(int signal_number) {
    if (handles_ && handles_->pid > 0) {
        ::kill(handles_->pid, signal_number);
    }
}

void StationProcess::Kill() {
    if (handles_ && handles_->pid > 0) {
        ::kill(handles_->pid, SIGKILL);
    }
}

void WaitForStations(const std::vector<const StationProcess*>& running) {
    std::vector<pollfd> fds;
    bool awaiting_reap = false;
    for (const StationProcess* process : running) {
        const StationProcess::Handles* handles = process->handles_.get();
        if (handles == nullptr) {
            continue;
        }
        for (int fd : {handles->events_fd, handles->errors_fd}) {
            if (fd >= 0) {
                fds.push_back({fd, POLLIN, 0});
            }
        }
        awaiting_reap = awaiting_reap || process->StreamsEnded();
    }
    ::poll(fds.data(), fds.size(), awaiting_reap ? kPollReapMs : kPollIdleMs);
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
