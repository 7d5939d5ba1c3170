// Child processes on Linux: posix_spawn starts them, and a pidfd for each says when it has
// ended, so the wait set sleeps in one poll over every child's pipes and pidfds. A kernel
// without pidfds (before 5.3) still works: its children are reaped on a short tick instead.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/process.h"

extern char** environ;

static_assert(vantor::platform::kKillSignal == SIGKILL);

namespace vantor::platform {

namespace {

// Children without a pidfd are asked whether they have ended this often while a wait lasts.
constexpr int kReapTickMs = 10;
// The largest single read from a child's stream.
constexpr std::size_t kReadChunkBytes = 64 * 1024;
// Descriptors kept free beyond what the children take: the process's own files, a listening
// socket, a pipe being set up for the next child.
constexpr long kDescriptorMargin = 16;

struct Reader {
    int fd = -1;
    std::string text;
    bool ended = true;
};

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int PollTimeoutMs(ProcessDeadline deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

std::vector<std::string> ChildEnvironment(const ChildOptions& options) {
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        variables.emplace_back(*variable);
    }
    for (const auto& [name, value] : options.environment_changes) {
        const std::string prefix = name + "=";
        std::erase_if(variables, [&](const std::string& v) { return v.rfind(prefix, 0) == 0; });
        if (value) {
            variables.push_back(prefix + *value);
        }
    }
    return variables;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return static_cast<int>(fd);
    }
#endif
    (void)pid;
    return -1;
}

ChildExit ExitFrom(int wait_status, const rusage& usage) {
    ChildExit exit;
    if (WIFEXITED(wait_status)) {
        exit.status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        exit.signal = WTERMSIG(wait_status);
    }
    exit.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    exit.peak_memory_kib = usage.ru_maxrss;
    return exit;
}

// The descriptors and file actions of one start, closed in the parent once the child has its
// copies (or the start has failed).
class SpawnPlan {
  public:
    SpawnPlan() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnPlan() {
        posix_spawn_file_actions_destroy(&actions_);
        for (int& fd : child_ends_) {
            CloseFd(fd);
        }
        CloseFd(terminal_);
    }
    SpawnPlan(const SpawnPlan&) = delete;
    SpawnPlan& operator=(const SpawnPlan&) = delete;

    posix_spawn_file_actions_t* actions() { return &actions_; }

    // Gives the child `fd` at `target`; `fd` itself is closed in the parent after the start.
    void GiveChild(int fd, int target) {
        child_ends_.push_back(fd);
        posix_spawn_file_actions_adddup2(&actions_, fd, target);
    }

    // Connects the child's `target` stream; gives the parent's end of a pipe or terminal (-1 for
    // the other kinds), or why it cannot be set up.
    Result<int> Connect(const ChildStream& stream, int target) {
        const bool input = target == STDIN_FILENO;
        switch (stream.kind) {
            case ChildStream::Kind::kInherit:
                return -1;
            case ChildStream::Kind::kNull:
                posix_spawn_file_actions_addopen(&actions_, target, "/dev/null",
                                                 input ? O_RDONLY : O_WRONLY, 0);
                return -1;
            case ChildStream::Kind::kFile:
                posix_spawn_file_actions_addopen(&actions_, target, stream.path.c_str(),
                                                 input ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC,
                                                 0600);
                return -1;
            case ChildStream::Kind::kDescriptor:
                posix_spawn_file_actions_adddup2(&actions_, stream.descriptor, target);
                return -1;
            case ChildStream::Kind::kJoinOut:
                // The actions run in order, so stdout is already in place.
                posix_spawn_file_actions_adddup2(&actions_, STDOUT_FILENO, target);
                return -1;
            case ChildStream::Kind::kPipe:
                return ConnectPipe(target, input);
            case ChildStream::Kind::kTerminal:
                return ConnectTerminal(target);
        }
        return -1;
    }

    // Inherited descriptors keep their numbers: a close-on-exec copy of each is put back at
    // the number in the child, and a dup2 onto another number clears close-on-exec there.
    Result<void> Inherit(int fd) {
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (copy < 0) {
            return Failure{"descriptor " + std::to_string(fd) + ": " + std::strerror(errno)};
        }
        GiveChild(copy, fd);
        return {};
    }

  private:
    Result<int> ConnectPipe(int target, bool input) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return Failure{std::string("pipe: ") + std::strerror(errno)};
        }
        GiveChild(input ? ends[0] : ends[1], target);
        const int ours = input ? ends[1] : ends[0];
        ::fcntl(ours, F_SETFL, ::fcntl(ours, F_GETFL) | O_NONBLOCK);
        return ours;
    }

    // One terminal per child, shared by every stream that asks for one; each gets its own
    // descriptor of the master side.
    Result<int> ConnectTerminal(int target) {
        if (terminal_ < 0) {
            if (auto opened = OpenTerminal(); !opened) {
                return Failure{opened.reason()};
            }
        }
        posix_spawn_file_actions_adddup2(&actions_, slave_, target);
        return ::fcntl(terminal_, F_DUPFD_CLOEXEC, 0);
    }

    Result<void> OpenTerminal() {
        terminal_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (terminal_ < 0 || ::grantpt(terminal_) != 0 || ::unlockpt(terminal_) != 0 ||
            ::ptsname_r(terminal_, name, sizeof name) != 0) {
            return Failure{std::string("pseudo-terminal: ") + std::strerror(errno)};
        }
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) {
            return Failure{std::string(name) + ": " + std::strerror(errno)};
        }
        child_ends_.push_back(slave_);
        return {};
    }

    posix_spawn_file_actions_t actions_;
    std::vector<int> child_ends_;
    int terminal_ = -1;
    int slave_ = -1;
};

// What a child is given besides its streams: a process group, its signals' handling.
class SpawnAttributes {
  public:
    explicit SpawnAttributes(const ChildOptions& options) {
        posix_spawnattr_init(&attributes_);
        short flags = 0;
        if (options.own_process_group) {
            flags |= POSIX_SPAWN_SETPGROUP;
            posix_spawnattr_setpgroup(&attributes_, 0);
        }
        if (options.default_signals) {
            flags |= POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
            sigset_t none;
            sigemptyset(&none);
            posix_spawnattr_setsigmask(&attributes_, &none);
            sigset_t all;
            sigfillset(&all);
            posix_spawnattr_setsigdefault(&attributes_, &all);
        }
        posix_spawnattr_setflags(&attributes_, flags);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    const posix_spawnattr_t* get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
};

// Writes to a pipe whose reader may have gone without letting SIGPIPE end this process: the
// signal is held for the write, and one it raised is taken back before it is let through.
ssize_t WriteWithoutSigpipe(int fd, const char* bytes, std::size_t size) {
    sigset_t pipe_signal;
    sigset_t previous;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    const ssize_t wrote = ::write(fd, bytes, size);
    const int write_errno = errno;
    if (wrote < 0 && write_errno == EPIPE) {
        const timespec now{0, 0};
        ::sigtimedwait(&pipe_signal, nullptr, &now);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = write_errno;
    return wrote;
}

}  // namespace

struct ChildProcess::System {
    pid_t pid = -1;
    int pidfd = -1;
    int in = -1;
    Reader out;
    Reader err;
    std::size_t output_limit_bytes = 0;
    std::optional<ChildExit> exit;

    ~System() {
        if (!exit && pid > 0) {
            ::kill(pid, SIGKILL);
            Reap(0);
        }
        CloseFd(pidfd);
        CloseFd(in);
        CloseFd(out.fd);
        CloseFd(err.fd);
    }

    Reader& Stream(OutputStream stream) { return stream == OutputStream::kOut ? out : err; }

    bool Readable(const Reader& reader) const {
        return reader.fd >= 0 && reader.text.size() < output_limit_bytes;
    }

    // Takes the child's end if it is there (`options` 0 waits for it); true once reaped.
    bool Reap(int options) {
        if (exit) {
            return true;
        }
        int wait_status = 0;
        rusage usage{};
        pid_t ended = -1;
        do {
            ended = ::wait4(pid, &wait_status, options, &usage);
        } while (ended < 0 && errno == EINTR);
        if (ended != pid) {
            return false;
        }
        exit = ExitFrom(wait_status, usage);
        CloseFd(pidfd);
        return true;
    }

    // Reads once from a stream that poll found ready. A read of nothing, or an error (a
    // terminal's master reports EIO once the child has gone), is the stream's end.
    void ReadReady(Reader& reader) {
        char buffer[kReadChunkBytes];
        const std::size_t room = std::min(sizeof buffer, output_limit_bytes - reader.text.size());
        const ssize_t got = ::read(reader.fd, buffer, room);
        if (got > 0) {
            reader.text.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            CloseFd(reader.fd);
            reader.ended = true;
        }
    }
};

ChildProcess::ChildProcess(std::unique_ptr<System> system) : system_(std::move(system)) {}

ChildProcess::~ChildProcess() = default;

Result<std::unique_ptr<ChildProcess>> ChildProcess::Spawn(const ChildOptions& options) {
    auto system = std::make_unique<System>();
    system->output_limit_bytes = options.output_limit_bytes;
    SpawnPlan plan;
    for (const int fd : options.inherited_descriptors) {
        if (auto inherited = plan.Inherit(fd); !inherited) {
            return Failure{inherited.reason()};
        }
    }
    const Result<int> in = plan.Connect(options.in, STDIN_FILENO);
    const Result<int> out = plan.Connect(options.out, STDOUT_FILENO);
    const Result<int> err = plan.Connect(options.err, STDERR_FILENO);
    // The parent's ends that were made are the system's to close, whatever else failed.
    const int in_fd = in ? *in : -1;
    const int out_fd = out ? *out : -1;
    const int err_fd = err ? *err : -1;
    system->in = in_fd;
    system->out = Reader{out_fd, {}, out_fd < 0};
    system->err = Reader{err_fd, {}, err_fd < 0};
    // The last stream that could not be set up is the one told.
    for (const Result<int>* connected : {&err, &out, &in}) {
        if (!*connected) {
            return Failure{connected->reason()};
        }
    }
    std::vector<std::string> argv_texts = options.argv;
    std::vector<std::string> env_texts = ChildEnvironment(options);
    std::vector<char*> argv = Pointers(argv_texts);
    std::vector<char*> envp = Pointers(env_texts);
    SpawnAttributes attributes(options);
    const char* program = options.program.empty() ? argv[0] : options.program.c_str();
    const int failed = ::posix_spawn(&system->pid, program, plan.actions(), attributes.get(),
                                     argv.data(), envp.data());
    if (failed != 0) {
        system->pid = -1;
        return Failure{options.argv[0] + ": " + std::strerror(failed)};
    }
    system->pidfd = OpenPidFd(system->pid);
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(system)));
}

long ChildProcess::id() const {
    return system_->pid;
}

bool ChildProcess::WriteInput(const std::string& bytes, ProcessDeadline deadline) {
    std::size_t sent = 0;
    while (sent < bytes.size() && system_->in >= 0) {
        pollfd entry{system_->in, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, PollTimeoutMs(deadline));
        if (ready == 0) {
            return false;
        }
        const ssize_t wrote =
            ready < 0 ? -1
                      : WriteWithoutSigpipe(system_->in, bytes.data() + sent, bytes.size() - sent);
        if (wrote > 0) {
            sent += static_cast<std::size_t>(wrote);
        } else if (errno != EINTR && errno != EAGAIN) {
            return false;
        }
    }
    return sent == bytes.size();
}

void ChildProcess::CloseInput() {
    CloseFd(system_->in);
}

void ChildProcess::CloseOutput(OutputStream stream) {
    Reader& reader = system_->Stream(stream);
    CloseFd(reader.fd);
    reader.ended = true;
}

const std::string& ChildProcess::Output(OutputStream stream) const {
    return system_->Stream(stream).text;
}

std::string ChildProcess::TakeOutput(OutputStream stream) {
    return std::exchange(system_->Stream(stream).text, {});
}

bool ChildProcess::OutputEnded(OutputStream stream) const {
    return system_->Stream(stream).ended;
}

bool ChildProcess::Signal(int signal_number) {
    return !system_->exit && ::kill(system_->pid, signal_number) == 0;
}

std::optional<ChildExit> ChildProcess::WaitUntil(ProcessDeadline deadline) {
    ProcessWaitSet set;
    set.Add(*this);
    while (!system_->exit && std::chrono::steady_clock::now() < deadline) {
        set.Wait(deadline);
    }
    return system_->exit;
}

ChildExit ChildProcess::Finish(ProcessDeadline deadline) {
    ProcessWaitSet set;
    set.Add(*this);
    const auto running = [&] {
        return !system_->exit || system_->Readable(system_->out) || system_->Readable(system_->err);
    };
    while (running() && std::chrono::steady_clock::now() < deadline) {
        set.Wait(deadline);
    }
    if (!system_->exit) {
        Kill();
        system_->Reap(0);
    }
    return *system_->exit;
}

ChildExit ChildProcess::Stop(ProcessDeadline deadline) {
    if (!system_->exit) {
        Signal(SIGTERM);
        if (!WaitUntil(deadline)) {
            Kill();
            system_->Reap(0);
        }
    }
    return *system_->exit;
}

const std::optional<ChildExit>& ChildProcess::exit() const {
    return system_->exit;
}

std::vector<ChildProcess*> ProcessWaitSet::Wait(ProcessDeadline deadline) {
    for (;;) {
        std::vector<pollfd> entries;
        std::vector<std::pair<ChildProcess*, Reader*>> owners;  // Reader null: the pidfd
        bool ticking = false;
        for (ChildProcess* child : children_) {
            ChildProcess::System& system = *child->system_;
            for (Reader* reader : {&system.out, &system.err}) {
                if (system.Readable(*reader)) {
                    entries.push_back({reader->fd, POLLIN, 0});
                    owners.emplace_back(child, reader);
                }
            }
            if (!system.exit && system.pidfd >= 0) {
                entries.push_back({system.pidfd, POLLIN, 0});
                owners.emplace_back(child, nullptr);
            }
            ticking = ticking || (!system.exit && system.pidfd < 0);
        }
        if (entries.empty() && !ticking) {
            return {};
        }
        const int timeout_ms =
            ticking ? std::min(PollTimeoutMs(deadline), kReapTickMs) : PollTimeoutMs(deadline);
        const int ready = ::poll(entries.data(), entries.size(), timeout_ms);
        if (ready < 0) {
            // A signal's handler has run: the caller looks at what it did before waiting again.
            return {};
        }
        std::vector<ChildProcess*> changed;
        for (std::size_t i = 0; ready > 0 && i < entries.size(); ++i) {
            if (entries[i].revents == 0) {
                continue;
            }
            auto [child, reader] = owners[i];
            if (reader != nullptr) {
                child->system_->ReadReady(*reader);
            } else {
                child->system_->Reap(WNOHANG);
            }
            if (changed.empty() || changed.back() != child) {
                changed.push_back(child);
            }
        }
        for (ChildProcess* child : children_) {
            ChildProcess::System& system = *child->system_;
            if (ticking && !system.exit && system.pidfd < 0 && system.Reap(WNOHANG)) {
                changed.push_back(child);
            }
        }
        std::sort(changed.begin(), changed.end());
        changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
        if (!changed.empty() || std::chrono::steady_clock::now() >= deadline) {
            return changed;
        }
    }
}

DescriptorBudget EnsureDescriptorBudget(long children, long per_child) {
    DescriptorBudget budget;
    long open_now = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        ++open_now;
    }
    budget.needed = open_now + children * per_child + kDescriptorMargin;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        budget.error = std::string("cannot read the limit on open files: ") + std::strerror(errno);
        return budget;
    }
    const auto as_long = [](rlim_t value) {
        return value == RLIM_INFINITY ? LONG_MAX
                                      : static_cast<long>(std::min<rlim_t>(value, LONG_MAX));
    };
    budget.soft_limit = as_long(limit.rlim_cur);
    budget.hard_limit = as_long(limit.rlim_max);
    if (budget.soft_limit >= budget.needed) {
        budget.ok = true;
        return budget;
    }
    if (budget.hard_limit < budget.needed) {
        budget.error = std::to_string(children) + " children need " +
                       std::to_string(budget.needed) + " open files, and the hard limit is " +
                       std::to_string(budget.hard_limit) + " (ulimit -Hn)";
        return budget;
    }
    limit.rlim_cur = static_cast<rlim_t>(budget.needed);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        budget.error = std::string("cannot raise the limit on open files to ") +
                       std::to_string(budget.needed) + ": " + std::strerror(errno);
        return budget;
    }
    budget.soft_limit = budget.needed;
    budget.ok = true;
    return budget;
}

}  // namespace vantor::platform
