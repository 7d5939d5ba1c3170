// The termios backend on a pseudo-terminal: data both ways, counts, purge, settings and the
// exclusive open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <memory>
#include <string>
#include <vector>

#include "job/job.h"
#include "link/serial_port.h"
#include "platform/process.h"
#include "platform/serial/port_map.h"
#include "platform/serial/posix_serial_device.h"
#include "platform/serial/uucp_lock.h"
#include "platform/window_link.h"
#include "pty_pair.h"
#include "support/test_support.h"

namespace vantor::platform {
namespace {

using test::KernelEventually;
using test::PtyPair;
using Bytes = std::vector<std::uint8_t>;

Bytes AllByteValues() {
    Bytes bytes;
    for (int value = 0; value < 256; ++value) {
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

std::uint32_t Waiting(SerialDevice& device) {
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    device.ClearError(errors, waiting);
    return waiting;
}

class PosixSerialDeviceOnPty : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        device = test::ValueOf(OpenPosixSerialDevice(pty.path()));
        ASSERT_NE(device, nullptr);
    }

    Bytes ReadAll(std::size_t count) {
        EXPECT_TRUE(KernelEventually([&] { return Waiting(*device) >= count; }));
        Bytes bytes(count + 16);
        std::size_t got = 0;
        EXPECT_TRUE(device->Read(bytes.data(), bytes.size(), got));
        bytes.resize(got);
        return bytes;
    }

    PtyPair pty;
    std::unique_ptr<SerialDevice> device;
};

// Catches 0xFF arriving doubled (the marking not undone) and any byte translated or dropped.
TEST_F(PosixSerialDeviceOnPty, EveryByteValueArrivesUnchanged) {
    ASSERT_TRUE(pty.Send(AllByteValues()));
    EXPECT_EQ(ReadAll(256), AllByteValues());
}

TEST_F(PosixSerialDeviceOnPty, BytesWaitingCountsDataBytesOnly) {
    ASSERT_TRUE(pty.Send({0xFF, 0xFF, 0x0D, 0x0A}));
    ASSERT_TRUE(KernelEventually([&] { return Waiting(*device) >= 4; }));
    EXPECT_EQ(Waiting(*device), 4u);
}

TEST_F(PosixSerialDeviceOnPty, EveryByteValueIsSentUnchanged) {
    std::size_t written = 0;
    ASSERT_TRUE(device->Write(AllByteValues().data(), 256, written));
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(pty.Receive(256), AllByteValues());
}

TEST_F(PosixSerialDeviceOnPty, ReadTakesAtMostWhatIsAskedAndKeepsTheRest) {
    ASSERT_TRUE(pty.Send({1, 2, 3, 4, 5}));
    ASSERT_TRUE(KernelEventually([&] { return Waiting(*device) == 5; }));
    std::uint8_t buffer[2];
    std::size_t got = 0;
    ASSERT_TRUE(device->Read(buffer, 2, got));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(Waiting(*device), 3u);
    EXPECT_EQ(ReadAll(3), (Bytes{3, 4, 5}));
}

TEST_F(PosixSerialDeviceOnPty, ReadWithNothingReceivedReturnsAtOnceWithNothing) {
    std::uint8_t buffer[8];
    std::size_t got = 99;
    EXPECT_TRUE(device->Read(buffer, sizeof(buffer), got));
    EXPECT_EQ(got, 0u);
}

TEST_F(PosixSerialDeviceOnPty, PurgeDiscardsReceivedBytesAndLaterBytesStillArrive) {
    ASSERT_TRUE(pty.Send({1, 2, 0xFF, 3}));
    ASSERT_TRUE(KernelEventually([&] { return Waiting(*device) == 4; }));
    ASSERT_TRUE(device->Purge(kPurgeRxClear | kPurgeTxClear));
    EXPECT_EQ(Waiting(*device), 0u);
    ASSERT_TRUE(pty.Send({0xFF, 9}));
    EXPECT_EQ(ReadAll(2), (Bytes{0xFF, 9}));
}

TEST_F(PosixSerialDeviceOnPty, NoBreakFlagWithoutABreak) {
    ASSERT_TRUE(pty.Send({0xFF, 0xFF, 0x00, 0x00}));
    ASSERT_TRUE(KernelEventually([&] { return Waiting(*device) == 4; }));
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    ASSERT_TRUE(device->ClearError(errors, waiting));
    EXPECT_EQ(errors & kLineBreakFlag, 0u);
}

TEST_F(PosixSerialDeviceOnPty, SecondOpenOfTheSameDeviceFails) {
    std::string error;
    error = OpenPosixSerialDevice(pty.path()).reason();
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
}

// Catches an exclusive hold that only compares names: another path to the same device.
TEST_F(PosixSerialDeviceOnPty, SecondOpenThroughAnotherNameFails) {
    const std::string link = testing::TempDir() + "serial_pty_link_" + std::to_string(::getpid());
    std::filesystem::remove(link);
    std::filesystem::create_symlink(pty.path(), link);
    EXPECT_FALSE(OpenPosixSerialDevice(link));
    std::filesystem::remove(link);
}

// A lock file left by a program that died must not keep the device from being used; one of a
// running program must (SecondOpenOfTheSameDeviceFails), and ours goes with the close.
TEST_F(PosixSerialDeviceOnPty, StaleLockFileIsReplacedAndOursRemovedAtClose) {
    ASSERT_TRUE(device->Close());
    // The number of a process that has ended and been reaped.
    platform::ChildOptions options;
    options.argv = {"/bin/true"};
    auto ended = platform::ChildProcess::Start(options).ValueOr(nullptr);
    ASSERT_NE(ended, nullptr);
    ASSERT_TRUE(ended->WaitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
    const std::string lock = LockDirectory() + "/" + LockFileName(pty.path());
    std::ofstream(lock) << std::setw(10) << ended->id() << "\n";
    device = test::ValueOf(OpenPosixSerialDevice(pty.path()));
    ASSERT_NE(device, nullptr);
    std::ifstream held(lock);
    pid_t holder = 0;
    held >> holder;
    EXPECT_EQ(holder, ::getpid());
    EXPECT_TRUE(device->Close());
    EXPECT_FALSE(std::filesystem::exists(lock));
}

// The kernel takes a break on a pty but never hands it on.
TEST_F(PosixSerialDeviceOnPty, IsKnownNotToCarryBreaks) {
    EXPECT_TRUE(device->Condition().carries_no_breaks);
}

// A job on such a line would switch the drive into a boot loader that no break can reach: it
// ends before it sends the drive a byte, the seek and the switch included.
TEST_F(PosixSerialDeviceOnPty, JobEndsBeforeTheDriveIsSentAnything) {
    ASSERT_TRUE(device->Close());
    test::RecordingWindowLink window;
    const platform::ScopedWindowLink scoped_window(window);
    JobHost host;
    host.Options.Ports.Set(1, pty.path());
    host.Options.PortIndex = 0;
    host.Options.ImagePath = "/nonexistent/never-read.orb";
    host.JobRunning = 1;
    EXPECT_EQ(DownloadJob(host), JobResult::kResyncFailed);
    EXPECT_EQ(window.StatusTexts(), std::vector<std::string>{kNoBreaksStatusText});
    EXPECT_TRUE(host.Record.Port.carries_no_breaks);
    EXPECT_EQ(host.JobRunning, 0);
    EXPECT_TRUE(pty.Receive(1).empty());
}

TEST_F(PosixSerialDeviceOnPty, CloseLetsTheDeviceBeOpenedAgain) {
    EXPECT_TRUE(device->Close());
    EXPECT_FALSE(device->Close());
    std::uint8_t byte = 0;
    std::size_t count = 0;
    EXPECT_FALSE(device->Write(&byte, 1, count));
    EXPECT_EQ(OpenPosixSerialDevice(pty.path()).reason(), "");
}

TEST_F(PosixSerialDeviceOnPty, DriveFormatReadsBackAsSet) {
    for (const std::uint32_t baud_rate : {9600u, 19200u}) {
        ASSERT_TRUE(device->SetSettings({baud_rate, 8, 0, 0, 0x1234}));
        LineSettings got;
        ASSERT_TRUE(device->GetSettings(got));
        EXPECT_EQ(got.BaudRate, baud_rate);
        EXPECT_EQ(got.ByteSize, 8);
        EXPECT_EQ(got.Parity, 0);
        EXPECT_EQ(got.StopBits, 0);
        EXPECT_EQ(got.Other, 0x1234u) << "the rest of the record is kept as set";
    }
}

struct RefusedCase {
    const char* name;
    LineSettings settings;
};

class PosixSerialRefusedFormats : public PosixSerialDeviceOnPty,
                                  public testing::WithParamInterface<RefusedCase> {};

TEST_P(PosixSerialRefusedFormats, AreRefusedAndLeaveTheLineAsItWas) {
    ASSERT_TRUE(device->SetSettings({19200, 8, 0, 0, 0}));
    EXPECT_FALSE(device->SetSettings(GetParam().settings));
    LineSettings got;
    ASSERT_TRUE(device->GetSettings(got));
    EXPECT_EQ(got.BaudRate, 19200u);
    EXPECT_EQ(got.ByteSize, 8);
    EXPECT_EQ(got.Parity, 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, PosixSerialRefusedFormats,
                         testing::Values(RefusedCase{"OddBaudRate", {12345, 8, 0, 0, 0}},
                                         RefusedCase{"NineDataBits", {9600, 9, 0, 0, 0}},
                                         RefusedCase{"ParityCode5", {9600, 8, 5, 0, 0}},
                                         RefusedCase{"StopCode3", {9600, 8, 0, 3, 0}}),
                         [](const testing::TestParamInfo<RefusedCase>& param_info) {
                             return std::string(param_info.param.name);
                         });

struct OpenFailureCase {
    const char* name;
    std::string path;
    std::string says;
};

class PosixSerialOpenFailures : public testing::TestWithParam<OpenFailureCase> {};

TEST_P(PosixSerialOpenFailures, FailWithAClearReason) {
    std::string error;
    error = OpenPosixSerialDevice(GetParam().path).reason();
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find(GetParam().path), std::string::npos) << error;
    EXPECT_NE(error.find(GetParam().says), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PosixSerialOpenFailures,
    testing::Values(OpenFailureCase{"Missing", "/dev/vantor-no-such-port", "no such device"},
                    OpenFailureCase{"NotATerminal", "/dev/null", "not a serial device"}),
    [](const testing::TestParamInfo<OpenFailureCase>& param_info) {
        return std::string(param_info.param.name);
    });

}  // namespace
}  // namespace vantor::platform
