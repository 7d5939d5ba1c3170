// The settings store on Windows: made in a folder that is not there yet, and replaced whole on
// every write (a rename onto an existing file is refused there unless asked for); a folder or
// an oversized file in its place is no store, and says so.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/registry.h"

namespace vantor::platform {
namespace {

TEST(WindowsStoreTest, EachWriteReplacesTheStoreAndTheLastValueReadsBack) {
    char temp[MAX_PATH] = {};
    ASSERT_GT(::GetTempPathA(sizeof(temp), temp), 0u);
    const std::string folder =
        std::string(temp) + "vantor-store-" + std::to_string(::GetCurrentProcessId());
    const std::string path = folder + "\\nested\\registry";
    const Registry registry(path);
    auto key = registry.CreateKey(kPortsKey);
    ASSERT_TRUE(key.has_value());
    EXPECT_TRUE(registry.SetValue(*key, "COM1", "sim"));
    EXPECT_TRUE(registry.SetValue(*key, "COM1", "\\\\.\\COM12"));
    EXPECT_TRUE(registry.SetValue(*key, "COM2", "sim:drives=2"));

    const Registry again(path);
    auto read = again.OpenKeyForReading(kPortsKey);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(again.QueryValue(*read, "COM1", 64), "\\\\.\\COM12");
    EXPECT_EQ(again.QueryValue(*read, "COM2", 64), "sim:drives=2");

    ::DeleteFileA(path.c_str());
    ::DeleteFileA((path + ".lock").c_str());
    ::RemoveDirectoryA((folder + "\\nested").c_str());
    EXPECT_TRUE(::RemoveDirectoryA(folder.c_str())) << "a temporary file was left behind";
}

TEST(WindowsStoreTest, AFolderOrAnOversizedFileInTheStoresPlaceIsRefusedWithTheReason) {
    char temp[MAX_PATH] = {};
    ASSERT_GT(::GetTempPathA(sizeof(temp), temp), 0u);
    const std::string folder =
        std::string(temp) + "vantor-nostore-" + std::to_string(::GetCurrentProcessId());
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));

    const Registry in_folder(folder);
    const Result<void> in_folder_readable = in_folder.CheckReadable();
    ASSERT_FALSE(in_folder_readable);
    EXPECT_NE(in_folder_readable.reason().find("it is not a regular file"), std::string::npos)
        << in_folder_readable.reason();
    EXPECT_FALSE(in_folder.CreateKey(kPortsKey).has_value());

    const std::string path = folder + "\\registry";
    {
        std::ofstream out(path, std::ios::binary);
        out << "VantorRegistry 1\n" << std::string(kMaxRegistryBytes, '#') << "\n";
    }
    const Registry oversized(path);
    const Result<void> oversized_readable = oversized.CheckReadable();
    ASSERT_FALSE(oversized_readable);
    EXPECT_NE(oversized_readable.reason().find("it is larger than 65536 bytes"), std::string::npos)
        << oversized_readable.reason();
    EXPECT_FALSE(oversized.OpenKeyForReading(kPortsKey).has_value());

    ::DeleteFileA(path.c_str());
    ::DeleteFileA((folder + ".lock").c_str());
    EXPECT_TRUE(::RemoveDirectoryA(folder.c_str())) << "a temporary file was left behind";
}

}  // namespace
}  // namespace vantor::platform
