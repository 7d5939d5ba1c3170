#include "cli/line/station_process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace vantor::cli {

namespace {

constexpr std::size_t kReadChunkBytes = 16384;
// At most this many chunks are read from one stream per call, so that one chatty station
// cannot keep the parent from the others.
constexpr int kChunksPerCall = 8;

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

}  // namespace

void LineSplitter::Feed(std::string_view bytes,
                        const std::function<void(std::string_view)>& on_line) {
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (!discarding_) {
            if (partial_.size() + piece.size() > max_line_bytes_) {
                discarding_ = true;
                partial_.clear();
            } else {
                partial_.append(piece);
            }
        }
        if (end == std::string_view::npos) {
            return;
        }
        if (discarding_) {
            ++dropped_lines_;
        } else {
            on_line(partial_);
        }
        partial_.clear();
        discarding_ = false;
        bytes.remove_prefix(end + 1);
    }
}

std::optional<StationProcess> StartStationProcess(const std::vector<std::string>& arguments,
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
    return StationProcess{pid, events[0], errors[0]};
}

std::optional<StationExit> ReapStation(pid_t pid) {
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

bool ReadStationStream(int& fd, LineSplitter& splitter,
                       const std::function<void(std::string_view)>& on_line) {
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

}  // namespace vantor::cli
