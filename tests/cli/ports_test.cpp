// vantor-cli ports set / unset: the port map changes in the settings store while every other
// value stays, and `vantor-cli ports` shows the map as changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "cli/cli_runner.h"
#include "platform/registry.h"

namespace vantor::test {
namespace {

constexpr const char* kSettingsKey = "SOFTWARE\\Halvren\\Vantor";

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Catches a port change that loses the window's settings or a hand-written port, or leaves a
// temporary file behind.
TEST(PortsCommand, SetAndUnsetChangeOnlyTheirPortName) {
    TempDir dir;
    // Written by hand the natural way: the key with plain backslashes.
    const std::string store =
        dir.Write("registry",
                  "VantorRegistry 1\n[SOFTWARE\\x5cHalvren\\x5cVantor]\nADDR=\\x06\nCOM=3\n"
                  "[SOFTWARE\\Halvren\\Vantor\\Ports]\nCOM1=sim:address=5\nCOM2=/dev/ttyUSB1\n");

    const CliRun set = RunCliWithStore(
        {"ports", "set", "COM3", "/dev/serial/by-id/usb-FTDI_A1-if00-port0"}, store);
    EXPECT_EQ(set.status, 0) << set.err;
    const CliRun unset = RunCliWithStore({"ports", "unset", "COM1"}, store);
    EXPECT_EQ(unset.status, 0) << unset.err;
    EXPECT_NE(unset.out.find("COM1 = /dev/ttyS0 (default)"), std::string::npos) << unset.out;

    EXPECT_EQ(platform::ParseRegistry(TempDir::Read(store)),
              (platform::Registry::Keys{{kSettingsKey, {{"ADDR", "\x06"}, {"COM", "3"}}},
                                        {platform::kPortsKey,
                                         {{"COM2", "/dev/ttyUSB1"},
                                          {"COM3", "/dev/serial/by-id/usb-FTDI_A1-if00-port0"}}}}));
    EXPECT_EQ(FolderNames(dir.Path("")), (std::vector<std::string>{"registry", "registry.lock"}));

    const CliRun show = RunCliWithStore({"ports"}, store);
    EXPECT_EQ(show.status, 0) << show.err;
    for (const char* line : {"COM1  /dev/ttyS0 ", "COM2  /dev/ttyUSB1 ",
                             "COM3  /dev/serial/by-id/usb-FTDI_A1-if00-port0 "}) {
        EXPECT_NE(show.out.find(line), std::string::npos) << line << "\n" << show.out;
    }
}

// Catches a first `ports set` failing where no store exists yet.
TEST(PortsCommand, SetStartsAStoreWhereThereIsNone) {
    TempDir dir;
    const std::string store = dir.Path("conf/vantor/registry");
    const CliRun set = RunCliWithStore({"ports", "set", "COM4", "sim:address=2"}, store);
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(platform::ParseRegistry(TempDir::Read(store)),
              (platform::Registry::Keys{{platform::kPortsKey, {{"COM4", "sim:address=2"}}}}));
}

}  // namespace
}  // namespace vantor::test
