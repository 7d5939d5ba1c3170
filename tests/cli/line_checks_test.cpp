// What the production line refuses, or works around, before its first station starts: two
// names of one device, a control byte in a port name, a temporary directory that cannot be used.
// Run as the built program. No port here is ever opened as a real serial device: the devices
// named are /dev/null and a closed TCP port, and the refusals come before any station starts.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "cli/cli_runner.h"
#include "image/image_writer.h"

namespace vantor::test {
namespace {

constexpr int kUsageError = 64;

std::string WriteImage(const TempDir& dir) {
    const auto bytes = image_writer::ImageBuilder::Kdx(2).FillerPackets(2, 64).Build();
    return dir.Write("image.orb", bytes);
}

std::vector<std::string> LineOn(const std::string& image, const std::vector<std::string>& ports) {
    std::vector<std::string> arguments{"download", image, "--quiet"};
    for (const std::string& port : ports) {
        arguments.insert(arguments.end(), {"--port", port});
    }
    return arguments;
}

// Catches a line that sees two stations where one device stands behind two names, and lets
// them talk over each other to one drive.
TEST(LineChecks, RefusesTwoNamesOfOneDeviceBeforeAnyStation) {
    TempDir dir;
    const std::string image = WriteImage(dir);
    const std::string link = dir.Path("adapter");
    ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
    const std::string store = dir.Write(
        "registry", "VantorRegistry 1\n[SOFTWARE\\Halvren\\Vantor\\Ports]\nCOM2=" + link + "\n");
    const std::vector<std::pair<std::string, std::string>> same{
        {"COM2", "/dev/null"},
        {link, "/dev/null"},
        {"rfc2217://127.0.0.1:1", "rfc2217://localhost:1"},
    };
    for (const auto& [first, second] : same) {
        const CliRun run = RunCliWithStore(LineOn(image, {"sim", first, second}), store);
        EXPECT_EQ(run.status, kUsageError) << first << " " << second << "\n" << run.out;
        EXPECT_NE(run.err.find("the ports \"" + first + "\" and \"" + second + "\" are one device"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(run.out, "") << "a station started";
    }
}

// Catches a port name with a control byte that passes the line's checks and fails only in its
// station's process, after the others have started.
TEST(LineChecks, RefusesAControlByteInAPortNameUpFront) {
    TempDir dir;
    const std::string image = WriteImage(dir);
    const std::string ports = dir.Write("ports", std::string("sim\n# bench 2\nsim:seed=2\0\n", 26));
    const CliRun from_file = RunCli({"download", image, "--ports-from", ports, "--quiet"});
    EXPECT_EQ(from_file.status, kUsageError);
    EXPECT_NE(from_file.err.find("\"" + ports +
                                 "\" line 3: the port \"sim:seed=2\\x00\" holds a control byte"),
              std::string::npos)
        << from_file.err;

    const CliRun given = RunCli(LineOn(image, {"sim", "sim:seed=2\x1b"}));
    EXPECT_EQ(given.status, kUsageError);
    EXPECT_NE(given.err.find("--port: the port \"sim:seed=2\\x1B\" holds a control byte"),
              std::string::npos)
        << given.err;
    EXPECT_EQ(given.out, "");
}

// Catches a line whose stations share one files list (and refuse each other its lock) when the
// temporary directory named by TMPDIR does not exist.
TEST(LineChecks, CopiesTheFilesListInTmpWhenTmpdirCannotBeUsed) {
    TempDir dir;
    const std::string list = dir.Write("list.txt", "main    " + WriteImage(dir) + "\n");
    const CliRun run = RunCliWith({"download", "--files-list", list, "--port", "sim:address=1",
                                   "--port", "sim:address=2", "--virtual-time", "--quiet"},
                                  {{{"TMPDIR", dir.Path("missing")}}, std::nullopt});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.err.find("TMPDIR \"" + dir.Path("missing") + "\" cannot be used"),
              std::string::npos)
        << run.err;
}

}  // namespace
}  // namespace vantor::test
