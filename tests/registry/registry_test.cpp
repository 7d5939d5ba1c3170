#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/registry.h"
#include "platform/serial/device_address.h"
#include "platform/serial/native_serial_device.h"
#include "platform/serial/port_map.h"
#include "support/test_support.h"

namespace vantor::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSettingsKey = "SOFTWARE\\Halvren\\Vantor";

std::string AllBytes() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) {
        bytes += static_cast<char>(b);
    }
    return bytes;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A store in a fresh folder of its own, named by $VANTOR_REGISTRY for the test's lifetime.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::make_unique<test::TempFolder>("vantor-registry");
        path_ = folder_->path() / "conf" / "registry";
        store_ = std::make_unique<test::ScopedEnv>("VANTOR_REGISTRY", path_.string().c_str());
    }
    void TearDown() override {
        store_.reset();
        folder_.reset();
    }

    std::vector<std::string> FilesInFolder() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_.parent_path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::unique_ptr<test::TempFolder> folder_;
    std::unique_ptr<test::ScopedEnv> store_;
    fs::path path_;
};

class RegistryValueRoundTrip : public RegistryTest,
                               public ::testing::WithParamInterface<std::string> {};

// Catches an escaping that loses or changes bytes: ADDR holds control characters.
TEST_P(RegistryValueRoundTrip, ValueComesBackByteForByte) {
    const Registry writer;
    auto key = writer.CreateKey(kSettingsKey);
    ASSERT_TRUE(key);
    ASSERT_TRUE(writer.SetValue(*key, "V", GetParam()));

    const Registry reader;
    auto opened = reader.OpenKey(kSettingsKey);
    ASSERT_TRUE(opened);
    const std::string& value = GetParam();
    const std::string expected = value.substr(0, value.find('\0'));
    EXPECT_EQ(reader.QueryValue(*opened, "V", value.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, RegistryValueRoundTrip,
                         ::testing::Values(std::string(), std::string("\x01"), std::string(" "),
                                           std::string("a=b[c]#d\\e\n\r\t"),
                                           std::string("\x7f\x80\xff"), AllBytes().substr(1),
                                           std::string("ab\0cd", 5), std::string(300, 'x')));

TEST_F(RegistryTest, FormatAndParseAreInverse) {
    const Registry::Keys keys{{"K\\one=[x]", {{"na=me", AllBytes()}, {"", ""}}}, {"empty", {}}};
    EXPECT_EQ(test::ValueOf(ParseRegistry(FormatRegistry(keys))), keys);
}

// Catches a hand-edited store being taken for a damaged one.
TEST_F(RegistryTest, HandWrittenValuesMayHoldPrintableTextAsItIs) {
    const auto keys = ParseRegistry(
        "VantorRegistry 1\n# the port map\n\n[SOFTWARE\\x5cHalvren\\x5cVantor\\x5cPorts]\n"
        "COM1=sim:address=5,ident=0x2083\nCOM2=/dev/serial/by-id/usb-\xc3\xa9[1]#2\n");
    ASSERT_TRUE(keys);
    EXPECT_EQ(*keys, (Registry::Keys{{kPortsKey,
                                      {{"COM1", "sim:address=5,ident=0x2083"},
                                       {"COM2", "/dev/serial/by-id/usb-\xc3\xa9[1]#2"}}}}));
}

// Catches a port map written by hand the natural way being taken for a damaged store. A
// value keeps the strict rule: there a lone backslash is still damage.
TEST_F(RegistryTest, AKeyMayHoldItsBackslashesAsTheyAre) {
    const auto keys = ParseRegistry(
        "VantorRegistry 1\n[SOFTWARE\\Halvren\\Vantor\\Ports]\nCOM1=sim\n"
        "[SOFTWARE\\x5cHalvren\\Vantor\\x5cPorts]\nCOM2=/dev/ttyUSB0\n[a\\x\\x4g\\]\n");
    ASSERT_TRUE(keys);
    EXPECT_EQ(*keys, (Registry::Keys{{kPortsKey, {{"COM1", "sim"}, {"COM2", "/dev/ttyUSB0"}}},
                                     {"a\\x\\x4g\\", {}}}));
    EXPECT_FALSE(ParseRegistry("VantorRegistry 1\n[K]\nA=C:\\fw\n"));
}

TEST_F(RegistryTest, TheStoreFileIsPlainTextLines) {
    const Registry registry;
    auto key = registry.CreateKey(kSettingsKey);
    ASSERT_TRUE(registry.SetValue(*key, "ADDR", "\x01"));
    ASSERT_TRUE(registry.SetValue(*key, "a=b", "sim:address=5"));
    EXPECT_EQ(ReadText(path_),
              "VantorRegistry 1\n[SOFTWARE\\x5cHalvren\\x5cVantor]\nADDR=\\x01\n"
              "a\\x3db=sim:address=5\n");
}

struct BufferCase {
    std::size_t value_bytes;
    std::size_t buffer_bytes;
    bool present;
};

class RegistryBufferRule : public RegistryTest, public ::testing::WithParamInterface<BufferCase> {};

// Catches a read that truncates a long value instead of treating it as absent.
TEST_P(RegistryBufferRule, ValueCountsOnlyWhenItFitsItsBuffer) {
    const Registry registry;
    auto key = registry.CreateKey(kSettingsKey);
    const std::string value(GetParam().value_bytes, 'p');
    ASSERT_TRUE(registry.SetValue(*key, "FilePath", value));
    const auto read = registry.QueryValue(*key, "FilePath", GetParam().buffer_bytes);
    EXPECT_EQ(read.has_value(), GetParam().present);
    if (GetParam().present) {
        EXPECT_EQ(*read, value);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RegistryBufferRule,
                         ::testing::Values(BufferCase{100, 100, true}, BufferCase{101, 100, false},
                                           BufferCase{0, 2, true}, BufferCase{2, 2, true},
                                           BufferCase{3, 2, false}, BufferCase{5, 8, true}));

TEST_F(RegistryTest, OpeningAMissingKeyFailsAndCreatesNothing) {
    const Registry registry;
    EXPECT_FALSE(registry.OpenKey(kSettingsKey));
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(RegistryTest, CreatedKeyOpensLaterWithNoValues) {
    const Registry registry;
    ASSERT_TRUE(registry.CreateKey(kSettingsKey));
    auto key = registry.OpenKey(kSettingsKey);
    ASSERT_TRUE(key);
    EXPECT_FALSE(registry.QueryValue(*key, "COM", 2));
}

TEST_F(RegistryTest, AClosedKeyNeitherReadsNorWrites) {
    const Registry registry;
    auto key = registry.CreateKey(kSettingsKey);
    ASSERT_TRUE(registry.SetValue(*key, "COM", "3"));
    Registry::CloseKey(*key);
    EXPECT_FALSE(registry.QueryValue(*key, "COM", 2));
    EXPECT_FALSE(registry.SetValue(*key, "COM", "4"));
}

// Catches a write that keeps a stale copy of the store and drops another instance's value.
TEST_F(RegistryTest, WritesOfTwoInstancesBothSurvive) {
    const Registry first;
    const Registry second;
    auto key_first = first.CreateKey(kSettingsKey);
    auto key_second = second.CreateKey(kSettingsKey);
    ASSERT_TRUE(first.SetValue(*key_first, "COM", "1"));
    ASSERT_TRUE(second.SetValue(*key_second, "BRAT", "9600"));
    EXPECT_EQ(first.QueryValue(*key_first, "COM", 2), "1");
    EXPECT_EQ(first.QueryValue(*key_first, "BRAT", 8), "9600");
}

TEST_F(RegistryTest, AWriteLeavesNoTemporaryFileBehind) {
    const Registry registry;
    auto key = registry.CreateKey(kSettingsKey);
    ASSERT_TRUE(registry.SetValue(*key, "COM", "2"));
    EXPECT_EQ(FilesInFolder(), (std::vector<std::string>{"registry", "registry.lock"}));
}

class RegistryDamagedFile : public RegistryTest,
                            public ::testing::WithParamInterface<std::string> {};

// Catches a damaged store being overwritten (the operator's file lost) or half believed.
TEST_P(RegistryDamagedFile, IsKeptAsideAndTheStoreStartsEmpty) {
    fs::create_directories(path_.parent_path());
    std::ofstream(path_, std::ios::binary) << GetParam();

    const Registry registry;
    EXPECT_FALSE(registry.OpenKey(kSettingsKey));
    auto key = registry.CreateKey(kSettingsKey);
    ASSERT_TRUE(key);
    ASSERT_TRUE(registry.SetValue(*key, "COM", "4"));

    std::vector<std::string> aside;
    for (const auto& name : FilesInFolder()) {
        if (name.rfind("registry.corrupt-", 0) == 0) {
            aside.push_back(name);
        }
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(ReadText(path_.parent_path() / aside[0]), GetParam());
    EXPECT_EQ(test::ValueOf(ParseRegistry(ReadText(path_))),
              (Registry::Keys{{kSettingsKey, {{"COM", "4"}}}}));
}

INSTANTIATE_TEST_SUITE_P(Texts, RegistryDamagedFile,
                         ::testing::Values(std::string("not a store"),
                                           std::string("VantorRegistry 1\nCOM=1\n"),
                                           std::string("VantorRegistry 1\n[K]\nno equals sign\n"),
                                           std::string("VantorRegistry 1\n[K]\nA=\\x4\n"),
                                           std::string("VantorRegistry 1\n[K]\nA=\\q41\n"),
                                           std::string("VantorRegistry 1\n[K]\nA=raw\x01"
                                                       "byte\n"),
                                           std::string("VantorRegistry 2\n")));

struct NotAStoreCase {
    const char* name;
    std::string text;  // the file's bytes; empty for a FIFO
    const char* reason;
};

class RegistryNotAStore : public RegistryTest,
                          public ::testing::WithParamInterface<NotAStoreCase> {};

// Catches a reading call (a port listing, a download's port map) that renames, locks or hangs on
// a file that is not a store, or that takes it for an empty store and so for the default devices.
TEST_P(RegistryNotAStore, ReadingRefusesItWithTheReasonAndLeavesItAlone) {
    fs::create_directories(path_.parent_path());
    const bool fifo = GetParam().text.empty();
    if (fifo) {
#ifndef _WIN32
        ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
#endif
    } else {
        std::ofstream(path_, std::ios::binary) << GetParam().text;
    }
    const Registry registry;
    const Result<void> readable = registry.CheckReadable();
    ASSERT_FALSE(readable);
    EXPECT_NE(readable.reason().find(path_.string()), std::string::npos) << readable.reason();
    EXPECT_NE(readable.reason().find(GetParam().reason), std::string::npos) << readable.reason();
    EXPECT_FALSE(registry.OpenKeyForReading(kPortsKey));
    const auto stored = StoredPortAddress(1);
    EXPECT_FALSE(stored);
    EXPECT_EQ(stored.reason(), readable.reason());
    // The port map passes the reason on, never the default device.
    const auto resolved = ResolvePortName("COM1");
    EXPECT_FALSE(resolved);
    EXPECT_EQ(resolved.reason(), readable.reason());
    // Nor does opening COM1 fall back on its default device.
    EXPECT_EQ(OpenSerialDevice("COM1").reason(), readable.reason());
    EXPECT_EQ(FilesInFolder(), std::vector<std::string>{"registry"});
    if (fifo) {
        // Nor does a write replace what is not a regular file.
        EXPECT_FALSE(registry.CreateKey(kSettingsKey));
        EXPECT_TRUE(fs::is_fifo(path_));
    } else {
        EXPECT_EQ(ReadText(path_), GetParam().text);
    }
}

std::vector<NotAStoreCase> NotAStoreCases() {
    std::vector<NotAStoreCase> cases = {
        NotAStoreCase{"Notes", "my notes\n", "line 1: the first line is not \"VantorRegistry 1\""},
        NotAStoreCase{"ValueWithoutKey", "VantorRegistry 1\r\nCOM1=sim\r\n",
                      "line 2: a value before the first [KEY] line"},
        NotAStoreCase{"Huge", "VantorRegistry 1\n" + std::string(kMaxRegistryBytes, '#') + "\n",
                      "larger than 65536 bytes"}};
#ifndef _WIN32
    // Windows has no FIFOs in its file system.
    cases.push_back(NotAStoreCase{"Fifo", "", "not a regular file"});
#endif
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Files, RegistryNotAStore, ::testing::ValuesIn(NotAStoreCases()),
                         [](const ::testing::TestParamInfo<NotAStoreCase>& case_info) {
                             return case_info.param.name;
                         });

// Catches a store edited on another system (CR LF, a blank last line) or a new empty file being
// taken for a damaged one.
TEST_F(RegistryTest, LineEndsOfOtherSystemsAndEmptyFilesAreStores) {
    EXPECT_EQ(test::ValueOf(ParseRegistry("VantorRegistry 1\r\n[K]\r\nA=1\r\n\r\n  \n")),
              (Registry::Keys{{"K", {{"A", "1"}}}}));
    EXPECT_EQ(test::ValueOf(ParseRegistry("")), Registry::Keys{});
}

// Catches a second damaged file replacing the first one kept aside within the same second.
TEST_F(RegistryTest, EveryDamagedFileIsKeptAside) {
    fs::create_directories(path_.parent_path());
    const Registry registry;
    for (const std::string text : {"first damage", "second damage"}) {
        std::ofstream(path_, std::ios::binary) << text;
        ASSERT_TRUE(registry.CreateKey(kSettingsKey));
    }
    std::vector<std::string> kept;
    for (const auto& name : FilesInFolder()) {
        if (name.rfind("registry.corrupt-", 0) == 0) {
            kept.push_back(ReadText(path_.parent_path() / name));
        }
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"first damage", "second damage"}));
}

// File modes and the default path below are those of POSIX systems; Windows has access control
// lists and %APPDATA% (its store file tests cover those).
#ifndef _WIN32

// Catches a store that this user may not read being replaced by an empty one.
TEST_F(RegistryTest, AnUnreadableStoreIsNeitherReadNorOverwritten) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "file permissions do not bind the superuser";
    }
    const Registry registry;
    auto key = registry.CreateKey(kSettingsKey);
    ASSERT_TRUE(registry.SetValue(*key, "COM", "1"));
    const std::string before = ReadText(path_);
    fs::permissions(path_, fs::perms::none);
    EXPECT_FALSE(registry.OpenKey(kSettingsKey));
    EXPECT_FALSE(registry.SetValue(*key, "COM", "3"));
    fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadText(path_), before);
}

TEST_F(RegistryTest, FullAccessNeedsAWritableFolder) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "file permissions do not bind the superuser";
    }
    const Registry registry;
    ASSERT_TRUE(registry.CreateKey(kSettingsKey));
    fs::permissions(path_.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(registry.OpenKey(kSettingsKey));
    EXPECT_TRUE(registry.OpenKeyForReading(kSettingsKey));
    fs::permissions(path_.parent_path(), fs::perms::owner_all);
}

struct PathCase {
    const char* vantor_registry;
    const char* xdg_config_home;
    const char* home;
    const char* expected;
};

class RegistryFilePathChoice : public ::testing::TestWithParam<PathCase> {};

TEST_P(RegistryFilePathChoice, FollowsTheEnvironment) {
    const test::ScopedEnv store("VANTOR_REGISTRY", GetParam().vantor_registry);
    const test::ScopedEnv config("XDG_CONFIG_HOME", GetParam().xdg_config_home);
    const test::ScopedEnv home("HOME", GetParam().home);
    EXPECT_EQ(RegistryFilePath(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Variables, RegistryFilePathChoice,
                         ::testing::Values(PathCase{"/a/store", "/x", "/h", "/a/store"},
                                           PathCase{nullptr, "/x", "/h", "/x/vantor/registry"},
                                           PathCase{"", "/x", "/h", "/x/vantor/registry"},
                                           PathCase{nullptr, nullptr, "/h",
                                                    "/h/.config/vantor/registry"}));

#endif

class StoredPortMap : public RegistryTest {
  protected:
    void Store(const std::string& name, const std::string& address) {
        const Registry registry;
        auto key = registry.CreateKey(kPortsKey);
        ASSERT_TRUE(registry.SetValue(*key, name, address));
    }
};

TEST_F(StoredPortMap, StoredAddressReplacesTheDefaultDevice) {
    Store("COM3", "sim:address=2");
    EXPECT_EQ(test::ValueOf(ResolvePortName("COM3")), "sim:address=2");
    EXPECT_EQ(test::ValueOf(ResolvePortName("COM2")), UnmappedPortAddress(2));
}

// A device the operator named for the run stands for the port in that run's map alone.
TEST_F(StoredPortMap, ANameSetInAMapWinsOverTheStoredAddressInThatMapAlone) {
    Store("COM1", "/dev/ttyUSB0");
    Store("COM2", "sim:address=2");
    PortMap run;
    run.Set(1, "sim");
    EXPECT_EQ(test::ValueOf(run.Resolve("COM1")), "sim");
    EXPECT_EQ(test::ValueOf(run.Resolve("COM2")), "sim:address=2");
    EXPECT_EQ(test::ValueOf(ResolvePortName("COM1")), "/dev/ttyUSB0");
    EXPECT_EQ(test::ValueOf(PortMap().Resolve("COM1")), "/dev/ttyUSB0");
    run.Set(1, "");
    EXPECT_EQ(test::ValueOf(run.Resolve("COM1")), "/dev/ttyUSB0");
    run.Set(0, "sim");
    run.Set(5, "sim");
    EXPECT_EQ(test::ValueOf(run.Resolve("COM0")), std::nullopt);
    EXPECT_EQ(test::ValueOf(run.Resolve("COM5")), UnmappedPortAddress(5));
}

TEST_F(StoredPortMap, OnlyComOneToFourAreLookedUp) {
    Store("COM0", "sim");
    Store("COM5", "sim");
    EXPECT_EQ(test::ValueOf(ResolvePortName("COM0")), std::nullopt);
    EXPECT_EQ(OpenSerialDevice("COM0").reason(),
              "the port name \"COM0\" is not mapped to a device");
    // Not the stored "sim": the system's own COM5 where it has one (Windows), else none.
    EXPECT_EQ(test::ValueOf(ResolvePortName("COM5")), UnmappedPortAddress(5));
    EXPECT_EQ(test::ValueOf(StoredPortAddress(0)), std::nullopt);
    EXPECT_EQ(test::ValueOf(StoredPortAddress(5)), std::nullopt);
}

TEST_F(StoredPortMap, AnEmptyStoredAddressGivesTheDefault) {
    Store("COM4", "");
    EXPECT_EQ(test::ValueOf(ResolvePortName("COM4")), UnmappedPortAddress(4));
}

}  // namespace
}  // namespace vantor::platform
