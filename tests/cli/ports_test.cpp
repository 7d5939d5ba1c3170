// vantor-cli ports set / unset: the port map changes in the settings store while every other
// value stays, and `vantor-cli ports` shows the map as changed.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "cli/cli_runner.h"
#include "platform/registry.h"
#include "support/test_support.h"

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

    EXPECT_EQ(test::ValueOf(platform::ParseRegistry(TempDir::Read(store))),
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
    EXPECT_EQ(test::ValueOf(platform::ParseRegistry(TempDir::Read(store))),
              (platform::Registry::Keys{{platform::kPortsKey, {{"COM4", "sim:address=2"}}}}));
}

// Catches a port change that turns a store shared through a symbolic link into a private copy
// (the shared file never changes), or that loosens a private store's mode.
TEST(PortsCommand, SetWritesThroughALinkedStoreAndKeepsItsMode) {
    TempDir dir;
    const std::string shared =
        dir.Write("shared", "VantorRegistry 1\n[SOFTWARE\\Halvren\\Vantor]\nCOM=3\n");
    ASSERT_EQ(::chmod(shared.c_str(), 0600), 0);
    const std::string link = dir.Path("registry");
    ASSERT_EQ(::symlink("shared", link.c_str()), 0);

    const CliRun set = RunCliWithStore({"ports", "set", "COM2", "sim:address=4"}, link);
    EXPECT_EQ(set.status, 0) << set.err;

    struct stat status {};
    ASSERT_EQ(::lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode)) << "the link was replaced by a file";
    ASSERT_EQ(::stat(shared.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(test::ValueOf(platform::ParseRegistry(TempDir::Read(shared))),
              (platform::Registry::Keys{{kSettingsKey, {{"COM", "3"}}},
                                        {platform::kPortsKey, {{"COM2", "sim:address=4"}}}}));
}

// Catches a store made read-only being silently replaced by a writable file.
TEST(PortsCommand, RefusesAReadOnlyStoreAndLeavesIt) {
    TempDir dir;
    const std::string text = "VantorRegistry 1\n[SOFTWARE\\Halvren\\Vantor\\Ports]\nCOM1=sim\n";
    const std::string store = dir.Write("registry", text);
    ASSERT_EQ(::chmod(store.c_str(), 0444), 0);

    for (const std::vector<std::string>& change :
         {std::vector<std::string>{"ports", "set", "COM3", "sim"},
          std::vector<std::string>{"ports", "unset", "COM1"}}) {
        const CliRun run = RunCliWithStore(change, store);
        EXPECT_EQ(run.status, 1) << change[1];
        EXPECT_NE(run.err.find("is not changed: it is read-only (mode 0444)"), std::string::npos)
            << run.err;
    }
    struct stat status {};
    ASSERT_EQ(::stat(store.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0444u);
    EXPECT_EQ(TempDir::Read(store), text);
}

// Catches a port change on a damaged store that sets the file aside for a store of the one new
// mapping, so that the other ports fall back to their default devices unseen: the change is
// refused as the window refuses the store, naming the file, the bad line and what to do, and the
// file stays byte for byte.
TEST(PortsCommand, RefusesADamagedStoreAndKeepsEveryMapping) {
    TempDir dir;
    const std::string text =
        "VantorRegistry 1\n[SOFTWARE\\Halvren\\Vantor\\Ports]\nCOM1=sim:address=1\n"
        "COM2=sim:address=2\nthis line is no value\nCOM3=sim:address=3\nCOM4=sim:address=4\n";
    const std::string store = dir.Write("registry", text);
    for (const std::vector<std::string>& change :
         {std::vector<std::string>{"ports", "set", "COM2", "sim:address=9"},
          std::vector<std::string>{"ports", "unset", "COM3"}}) {
        const CliRun run = RunCliWithStore(change, store);
        EXPECT_EQ(run.status, 1) << change[1];
        EXPECT_EQ(
            run.err.rfind(
                "vantor-cli ports: nothing is changed: the settings store \"" + store + "\"", 0),
            0u)
            << run.err;
        EXPECT_NE(run.err.find("line 5"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("mend that line"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("\nvantor:"), std::string::npos) << run.err;
    }
    EXPECT_EQ(TempDir::Read(store), text);
    // Nothing set aside, nothing new beside it.
    EXPECT_EQ(FolderNames(dir.Path("")), (std::vector<std::string>{"registry"}));
}

}  // namespace
}  // namespace vantor::test
