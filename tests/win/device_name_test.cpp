// The names Windows keeps for its devices are refused as files before anything is opened: the
// program would otherwise write its log to a comm port or read an image from one.
#include <gtest/gtest.h>

#include <string>

#include "platform/regular_file.h"

namespace vantor::platform {
namespace {

TEST(DeviceName, ReservedNamesInAnyCaseFolderAndExtensionAreRefused) {
    for (const std::string path : {"com9.log", "COM1", "logs\\Nul.txt", "out/aux.tar.gz",
                                   "C:\\runs\\LPT9.json", "prn", "CON .log"}) {
        EXPECT_FALSE(CheckFileName(path)) << path;
    }
    EXPECT_EQ(CheckFileName("logs\\com9.log").reason(),
              "com9.log is a device name on Windows, not a file name; choose another name");
}

TEST(DeviceName, NamesThatOnlyLookLikeDevicesAreFiles) {
    for (const std::string path : {"COM10.log", "com0.log", "console.log", "COM9x.log",
                                   "my-com9.log", "com9\\run.log", "LPT", ""}) {
        const Result<void> checked = CheckFileName(path);
        EXPECT_TRUE(checked) << path << ": " << checked.reason();
    }
}

}  // namespace
}  // namespace vantor::platform
