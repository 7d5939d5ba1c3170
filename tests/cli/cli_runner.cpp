#include "cli/cli_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vantor::test {

namespace {

// The child's environment: ours, with the settings store moved out of the way.
std::vector<std::string> ChildEnvironment(const std::string& registry_path) {
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::string(*variable).rfind("VANTOR_REGISTRY=", 0) != 0) {
            variables.emplace_back(*variable);
        }
    }
    variables.push_back("VANTOR_REGISTRY=" + registry_path);
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

// A child that has not ended after this long is taken as hung and killed, so that a fault fails
// the test instead of hanging the suite.
constexpr auto kChildDeadline = std::chrono::seconds(120);

int WaitForExit(pid_t pid) {
    const auto give_up = std::chrono::steady_clock::now() + kChildDeadline;
    int wait_status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(pid, &wait_status, WNOHANG);
        if (ended == pid) {
            break;
        }
        if (ended < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() > give_up) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

// Starts the child with stdout on `out_fd` and stderr on `err_fd`.
pid_t Spawn(const std::vector<std::string>& arguments, int out_fd, int err_fd,
            const std::string& registry_path) {
    std::vector<std::string> argv_texts{VANTOR_CLI_PATH};
    argv_texts.insert(argv_texts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env_texts = ChildEnvironment(registry_path);
    std::vector<char*> argv = Pointers(argv_texts);
    std::vector<char*> envp = Pointers(env_texts);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        throw std::runtime_error("cannot start " + std::string(VANTOR_CLI_PATH));
    }
    return pid;
}

// Everything the child writes to `fd` until it has gone, or until kChildDeadline has passed.
std::string ReadAll(int fd) {
    const auto give_up = std::chrono::steady_clock::now() + kChildDeadline;
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, 100);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            if (std::chrono::steady_clock::now() > give_up) {
                return text;
            }
            continue;
        }
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            return text;  // a terminal's master reports EIO once the child has gone
        }
    }
}

int TempFile(const TempDir& dir, const std::string& name) {
    return ::open(dir.Path(name).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

}  // namespace

CliRun RunCli(const std::vector<std::string>& arguments) {
    TempDir dir;
    return RunCliWithStore(arguments, dir.Path("registry"));
}

CliRun RunCliWithStore(const std::vector<std::string>& arguments,
                       const std::string& registry_path) {
    TempDir dir;
    const int out_fd = TempFile(dir, "stdout");
    const int err_fd = TempFile(dir, "stderr");
    const pid_t pid = Spawn(arguments, out_fd, err_fd, registry_path);
    CliRun run;
    run.status = WaitForExit(pid);
    ::close(out_fd);
    ::close(err_fd);
    run.out = TempDir::Read(dir.Path("stdout"));
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

CliRun RunCliIntoClosedPipe(const std::vector<std::string>& arguments) {
    TempDir dir;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("no pipe");
    }
    ::close(fds[0]);
    const int err_fd = TempFile(dir, "stderr");
    const pid_t pid = Spawn(arguments, fds[1], err_fd, dir.Path("registry"));
    ::close(fds[1]);
    CliRun run;
    run.status = WaitForExit(pid);
    ::close(err_fd);
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

CliRun RunCliReacting(const std::vector<std::string>& arguments,
                      const std::function<bool(pid_t pid, const std::string& out)>& react) {
    TempDir dir;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("no pipe");
    }
    const int err_fd = TempFile(dir, "stderr");
    const pid_t pid = Spawn(arguments, fds[1], err_fd, dir.Path("registry"));
    ::close(fds[1]);
    CliRun run;
    const auto deadline = std::chrono::steady_clock::now() + kChildDeadline;
    bool done = false;
    char buffer[4096];
    while (!done && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{fds[0], POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) {
            continue;
        }
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        run.out.append(buffer, static_cast<std::size_t>(got));
        done = react(pid, run.out);
    }
    run.out += ReadAll(fds[0]);
    ::close(fds[0]);
    run.status = WaitForExit(pid);
    ::close(err_fd);
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

CliRun RunCliSignalled(const std::vector<std::string>& arguments, int signal_number,
                       const std::string& after_text) {
    bool signalled = false;
    CliRun run = RunCliReacting(arguments, [&](pid_t pid, const std::string& out) {
        if (out.find(after_text) == std::string::npos) {
            return false;
        }
        ::kill(pid, signal_number);
        signalled = true;
        return true;
    });
    run.status = signalled ? run.status : -1;
    return run;
}

CliRun RunCliOnTerminal(const std::vector<std::string>& arguments) {
    TempDir dir;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int err_fd = TempFile(dir, "stderr");
    const pid_t pid = Spawn(arguments, slave, err_fd, dir.Path("registry"));
    // The master is read while the child writes: a full terminal buffer would stop it.
    ::close(slave);
    CliRun run;
    run.out = ReadAll(master);
    run.status = WaitForExit(pid);
    ::close(master);
    ::close(err_fd);
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vantor-cli-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary directory");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) const {
    const std::string path = Path(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string TempDir::Write(const std::string& name, const std::vector<unsigned char>& bytes) const {
    return Write(name, std::string(bytes.begin(), bytes.end()));
}

std::string TempDir::Read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace vantor::test
