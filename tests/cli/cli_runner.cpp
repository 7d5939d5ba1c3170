#include "cli/cli_runner.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace vantor::test {

namespace {

using platform::ChildProcess;
using platform::ChildStream;
using platform::OutputStream;

// A child that has not ended after this long is taken as hung and killed, so that a fault fails
// the test instead of hanging the suite.
constexpr auto kChildDeadline = std::chrono::seconds(120);

platform::ProcessDeadline ChildDeadline() {
    return std::chrono::steady_clock::now() + kChildDeadline;
}

// Starts vantor-cli with stdin on the null device, stdout and stderr as given, and the settings
// store moved out of the way; through `launcher` (a program and its arguments that runs the rest)
// when one is given.
std::unique_ptr<ChildProcess> StartCli(const std::vector<std::string>& arguments, ChildStream out,
                                       ChildStream err, const std::string& registry_path,
                                       const std::vector<std::string>& launcher = {},
                                       const CliSetup& setup = {}) {
    platform::ChildOptions options;
    options.argv = launcher;
    options.argv.push_back(VANTOR_CLI_PATH);
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.environment_changes = {{"VANTOR_REGISTRY", registry_path}};
    options.environment_changes.insert(options.environment_changes.end(), setup.environment.begin(),
                                       setup.environment.end());
    options.out = std::move(out);
    options.err = std::move(err);
    std::string error;
    auto child = ChildProcess::Start(options, &error);
    if (!child) {
        throw std::runtime_error("cannot start " + error);
    }
    return child;
}

// The exit status; -1 when the child did not exit normally (or was killed at the deadline).
int StatusOf(const platform::ChildExit& exit) {
    return exit.Exited() ? exit.status : -1;
}

}  // namespace

CliRun RunCli(const std::vector<std::string>& arguments) {
    TempDir dir;
    return RunCliWithStore(arguments, dir.Path("registry"));
}

CliRun RunCliWithStore(const std::vector<std::string>& arguments,
                       const std::string& registry_path) {
    TempDir dir;
    auto child = StartCli(arguments, ChildStream::File(dir.Path("stdout")),
                          ChildStream::File(dir.Path("stderr")), registry_path);
    CliRun run;
    run.status = StatusOf(child->Finish(ChildDeadline()));
    run.out = TempDir::Read(dir.Path("stdout"));
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

CliRun RunCliWith(const std::vector<std::string>& arguments, CliSetup setup) {
    TempDir dir;
    const bool out_to_file = !setup.out.has_value();
    ChildStream out = out_to_file ? ChildStream::File(dir.Path("stdout")) : std::move(*setup.out);
    setup.out.reset();
    auto child = StartCli(arguments, std::move(out), ChildStream::File(dir.Path("stderr")),
                          dir.Path("registry"), {}, setup);
    CliRun run;
    run.status = StatusOf(child->Finish(ChildDeadline()));
    if (out_to_file) {
        run.out = TempDir::Read(dir.Path("stdout"));
    }
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

CliRun RunCliWithOpenFilesLimit(const std::vector<std::string>& arguments, long soft, long hard) {
    TempDir dir;
    const std::vector<std::string> launcher{
        "/usr/bin/prlimit", "--nofile=" + std::to_string(soft) + ":" + std::to_string(hard), "--"};
    auto child = StartCli(arguments, ChildStream::File(dir.Path("stdout")),
                          ChildStream::File(dir.Path("stderr")), dir.Path("registry"), launcher);
    CliRun run;
    run.status = StatusOf(child->Finish(ChildDeadline()));
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
    auto child = StartCli(arguments, ChildStream::Descriptor(fds[1]),
                          ChildStream::File(dir.Path("stderr")), dir.Path("registry"));
    ::close(fds[1]);
    CliRun run;
    run.status = StatusOf(child->Finish(ChildDeadline()));
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

CliRun RunCliReacting(
    const std::vector<std::string>& arguments,
    const std::function<bool(ChildProcess& program, const std::string& out)>& react) {
    TempDir dir;
    auto child = StartCli(arguments, ChildStream::Pipe(), ChildStream::File(dir.Path("stderr")),
                          dir.Path("registry"));
    const auto deadline = ChildDeadline();
    platform::ProcessWaitSet set;
    set.Add(*child);
    std::size_t reacted_to = 0;
    bool done = false;
    while (!done && !child->OutputEnded(OutputStream::kOut) &&
           std::chrono::steady_clock::now() < deadline) {
        set.Wait(deadline);
        if (child->Output(OutputStream::kOut).size() > reacted_to) {
            reacted_to = child->Output(OutputStream::kOut).size();
            done = react(*child, child->Output(OutputStream::kOut));
        }
    }
    CliRun run;
    run.status = StatusOf(child->Finish(deadline));
    run.out = child->Output(OutputStream::kOut);
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

CliRun RunCliSignalled(const std::vector<std::string>& arguments, int signal_number,
                       const std::string& after_text) {
    bool signalled = false;
    CliRun run = RunCliReacting(arguments, [&](ChildProcess& program, const std::string& out) {
        if (out.find(after_text) == std::string::npos) {
            return false;
        }
        signalled = program.Signal(signal_number);
        return true;
    });
    run.status = signalled ? run.status : -1;
    return run;
}

CliRun RunCliOnTerminal(const std::vector<std::string>& arguments) {
    TempDir dir;
    auto child = StartCli(arguments, ChildStream::Terminal(), ChildStream::File(dir.Path("stderr")),
                          dir.Path("registry"));
    CliRun run;
    run.status = StatusOf(child->Finish(ChildDeadline()));
    run.out = child->Output(OutputStream::kOut);
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
