#include "cli/cli_runner.h"

#include "cli/cli_start.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

namespace vantor::test {

using platform::ChildProcess;
using platform::ChildStream;
using platform::OutputStream;

namespace {

// A child that has not ended after this long is taken as hung and killed, so that a fault fails
// the test instead of hanging the suite.
constexpr auto kChildDeadline = std::chrono::seconds(120);

// The program's text as the tests compare it: on Windows its console text ends its lines with
// CR LF, which are taken as the LF they stand for.
std::string AsText(std::string bytes) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) {
            bytes[kept++] = bytes[i];
        }
    }
    bytes.resize(kept);
    return bytes;
}

}  // namespace

platform::ProcessDeadline ChildDeadline() {
    return std::chrono::steady_clock::now() + kChildDeadline;
}

std::unique_ptr<ChildProcess> StartCli(const std::vector<std::string>& arguments, ChildStream out,
                                       ChildStream err, const std::string& registry_path,
                                       const std::vector<std::string>& launcher,
                                       const CliSetup& setup) {
    platform::ChildOptions options;
    options.argv = launcher;
    options.argv.push_back(VANTOR_CLI_PATH);
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.environment_changes = {{"VANTOR_REGISTRY", registry_path}};
    options.environment_changes.insert(options.environment_changes.end(), setup.environment.begin(),
                                       setup.environment.end());
    options.out = std::move(out);
    options.err = std::move(err);
    auto child = ChildProcess::Start(options);
    if (!child) {
        throw std::runtime_error("cannot start " + child.reason());
    }
    return std::move(*child);
}

int StatusOf(const platform::ChildExit& exit) {
    return exit.Exited() ? exit.status : -1;
}

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
    run.out = AsText(TempDir::Read(dir.Path("stdout")));
    run.err = AsText(TempDir::Read(dir.Path("stderr")));
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
        run.out = AsText(TempDir::Read(dir.Path("stdout")));
    }
    run.err = AsText(TempDir::Read(dir.Path("stderr")));
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
    run.out = AsText(child->Output(OutputStream::kOut));
    run.err = AsText(TempDir::Read(dir.Path("stderr")));
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

TempDir::TempDir() {
    // A name no other test holds: create_directory fails on one that is there already.
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int tries = 0; tries < 100; ++tries) {
        char name[32];
        std::snprintf(name, sizeof name, "vantor-cli-test-%012llx",
                      static_cast<unsigned long long>(random() & 0xffffffffffffULL));
        const std::filesystem::path path = std::filesystem::temp_directory_path() / name;
        std::error_code error;
        if (std::filesystem::create_directory(path, error)) {
            path_ = path.generic_string();
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary directory");
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
