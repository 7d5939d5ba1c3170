// What the production line refuses, or works around, before its first station starts: two
// names of one device, a control byte in a port name, a temporary directory that cannot be used.
// Run as the built program. No port here is ever opened as a real serial device: the devices
// named are /dev/null and a closed TCP port, and the refusals come before any station starts.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "cli/cli_runner.h"
#include "image/image_writer.h"

namespace vantor::test {
namespace {

std::string WriteImage(const TempDir& dir) {
    const auto bytes = image_writer::ImageBuilder::Kdx(2).FillerPackets(2, 64).Build();
    return dir.Write("image.orb", bytes);
}

// As RunCliWithStore, with the environment changed as well.
CliRun RunWithEnvironment(
    const std::vector<std::string>& arguments,
    std::vector<std::pair<std::string, std::optional<std::string>>> environment) {
    TempDir dir;
    platform::ChildOptions options;
    options.argv.push_back(VANTOR_CLI_PATH);
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    environment.emplace_back("VANTOR_REGISTRY", dir.Path("registry"));
    options.environment_changes = std::move(environment);
    options.out = platform::ChildStream::File(dir.Path("stdout"));
    options.err = platform::ChildStream::File(dir.Path("stderr"));
    std::string error;
    auto child = platform::ChildProcess::Start(options, &error);
    if (!child) {
        throw std::runtime_error("cannot start " + error);
    }
    const platform::ChildExit exit =
        child->Finish(std::chrono::steady_clock::now() + std::chrono::seconds(120));
    CliRun run;
    run.status = exit.Exited() ? exit.status : -1;
    run.out = TempDir::Read(dir.Path("stdout"));
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

// Catches a line whose stations share one files list (and refuse each other its lock) when the
// temporary directory named by TMPDIR does not exist.
TEST(LineChecks, CopiesTheFilesListInTmpWhenTmpdirCannotBeUsed) {
    TempDir dir;
    const std::string list = dir.Write("list.txt", "main    " + WriteImage(dir) + "\n");
    const CliRun run =
        RunWithEnvironment({"download", "--files-list", list, "--port", "sim:address=1", "--port",
                            "sim:address=2", "--virtual-time", "--quiet"},
                           {{"TMPDIR", dir.Path("missing")}});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.err.find("TMPDIR \"" + dir.Path("missing") + "\" cannot be used"),
              std::string::npos)
        << run.err;
}

}  // namespace
}  // namespace vantor::test
