// The termios backend with faults injected through its system call layer: interrupted and
// refused calls, short writes, marked breaks split across reads, the driver's break counter and
// an adapter unplugged.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <memory>
#include <string>
#include <vector>

#include "faulty_syscalls.h"
#include "platform/clock.h"
#include "platform/serial/posix_serial_device.h"
#include "pty_pair.h"
#include "support/test_support.h"

namespace vantor::platform {
namespace {

using test::FaultySyscalls;
using test::KernelEventually;
using test::PtyPair;
using Bytes = std::vector<std::uint8_t>;

struct Report {
    bool ok;
    std::uint32_t errors;
    std::uint32_t waiting;
};

class PosixFaults : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        device = test::ValueOf(OpenPosixSerialDevice(pty.path()));
        ASSERT_NE(device, nullptr);
    }

    Report ClearError() {
        Report report{};
        report.ok = device->ClearError(report.errors, report.waiting);
        return report;
    }

    VirtualClock clock{1'000'000'000};
    ScopedClock scoped_clock{clock};
    FaultySyscalls syscalls;
    ScopedSyscalls scoped_syscalls{syscalls};
    PtyPair pty;
    std::unique_ptr<SerialDevice> device;
};

TEST_F(PosixFaults, ReadsInterruptedBySignalsAreRetried) {
    syscalls.reads = {{EINTR, {}}, {EINTR, {}}, {EINTR, {}}};
    ASSERT_TRUE(pty.Send({1, 2, 3}));
    EXPECT_TRUE(KernelEventually([&] { return ClearError().waiting == 3; }));
}

// Catches a retry loop without a bound: a signal storm must not hold the caller.
TEST_F(PosixFaults, EndlessInterruptionsStillReturnWithNothing) {
    syscalls.read_error = EINTR;
    const Report report = ClearError();
    EXPECT_TRUE(report.ok);
    EXPECT_EQ(report.waiting, 0u);
    EXPECT_LE(syscalls.reads_made, 16);
}

TEST_F(PosixFaults, ReadFindingNothingIsNoFailure) {
    syscalls.reads = {{EAGAIN, {}}};
    EXPECT_TRUE(ClearError().ok);
    std::uint8_t byte = 0;
    std::size_t got = 1;
    EXPECT_TRUE(device->Read(&byte, 1, got));
    EXPECT_EQ(got, 0u);
}

TEST_F(PosixFaults, MarkedBreakSetsTheFlagForOneReport) {
    syscalls.reads = {{0, {0x41, 0xFF, 0x00, 0x00, 0x42}}, {0, {}}};
    const Report first = ClearError();
    EXPECT_EQ(first.errors & kLineBreakFlag, kLineBreakFlag);
    EXPECT_EQ(first.waiting, 2u);
    EXPECT_EQ(ClearError().errors & kLineBreakFlag, 0u);
}

// Catches a mark sequence split between two reads being lost or taken as data.
TEST_F(PosixFaults, BreakMarkSplitAcrossReadsIsSeenWhenComplete) {
    // A read that gives less than asked for ends the pump: the rest of the mark comes with the
    // next call.
    syscalls.reads = {{0, {0x41, 0xFF}}, {0, {0x00, 0x00}}, {0, {}}};
    const Report first = ClearError();
    EXPECT_EQ(first.errors & kLineBreakFlag, 0u);
    EXPECT_EQ(first.waiting, 1u);
    const Report second = ClearError();
    EXPECT_EQ(second.errors & kLineBreakFlag, kLineBreakFlag);
    EXPECT_EQ(second.waiting, 1u);
}

TEST_F(PosixFaults, PurgeForgetsAHalfMarkSequence) {
    syscalls.reads = {{0, {0xFF, 0x00}}, {0, {}}};
    ClearError();
    ASSERT_TRUE(device->Purge(kPurgeRxClear));
    syscalls.reads = {{0, {0x00, 0x43}}, {0, {}}};
    const Report report = ClearError();
    EXPECT_EQ(report.errors & kLineBreakFlag, 0u);
    EXPECT_EQ(report.waiting, 2u);
}

class PosixDriverCounter : public PosixFaults {
  protected:
    void SetUp() override {
        syscalls.driver_counts_breaks = true;
        PosixFaults::SetUp();
    }
};

// Catches a break that the driver counted but whose mark was flushed never setting the flag.
TEST_F(PosixDriverCounter, CountedBreakSetsTheFlagForOneReport) {
    syscalls.counted_breaks = 1;
    EXPECT_EQ(ClearError().errors & kLineBreakFlag, kLineBreakFlag);
    EXPECT_EQ(ClearError().errors & kLineBreakFlag, 0u);
}

// Catches one break reported twice because its two sources saw it at different moments.
TEST_F(PosixDriverCounter, BreakSeenByCounterAndMarkIsOneBreak) {
    syscalls.counted_breaks = 1;
    EXPECT_EQ(ClearError().errors & kLineBreakFlag, kLineBreakFlag);
    syscalls.reads = {{0, {0xFF, 0x00, 0x00}}, {0, {}}};
    EXPECT_EQ(ClearError().errors & kLineBreakFlag, 0u);
    syscalls.reads = {{0, {0xFF, 0x00, 0x00}}, {0, {}}};
    EXPECT_EQ(ClearError().errors & kLineBreakFlag, kLineBreakFlag) << "a second break counts";
}

TEST_F(PosixFaults, ShortWritesStillSendEveryByteInOrder) {
    syscalls.write_limit = 1;
    Bytes all;
    for (int value = 0; value < 256; ++value) {
        all.push_back(static_cast<std::uint8_t>(value));
    }
    std::size_t written = 0;
    EXPECT_TRUE(device->Write(all.data(), all.size(), written));
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(pty.Receive(256), all);
}

TEST_F(PosixFaults, FullTransmitBufferIsWaitedOnUntilItTakesTheBytes) {
    syscalls.write_errors = {EAGAIN, EINTR, EAGAIN};
    const Bytes bytes = {0xA5, 0x5A};
    std::size_t written = 0;
    EXPECT_TRUE(device->Write(bytes.data(), bytes.size(), written));
    EXPECT_EQ(pty.Receive(2), bytes);
}

// Catches a write that waits forever on a transmit buffer that never empties.
TEST_F(PosixFaults, TransmitBufferThatNeverEmptiesEndsTheWriteWithinItsBudget) {
    ASSERT_TRUE(device->SetSettings({9600, 8, 0, 0, 0}));
    syscalls.write_error = EAGAIN;
    const Bytes bytes(10, 0x55);
    std::size_t written = 99;
    const std::int64_t start_ns = clock.NowNs();
    EXPECT_FALSE(device->Write(bytes.data(), bytes.size(), written));
    EXPECT_EQ(written, 0u);
    // Ten bytes take 10.4 ms at 9600 baud: twice that plus the 100 ms margin.
    EXPECT_LE(clock.NowNs() - start_ns, 122'000'000);
    syscalls.write_error = 0;
    EXPECT_TRUE(device->Write(bytes.data(), bytes.size(), written)) << "a full buffer is no unplug";
}

TEST_F(PosixFaults, RefusedSettingsAreReportedAndTheOldOnesStay) {
    ASSERT_TRUE(device->SetSettings({19200, 8, 0, 0, 0}));
    syscalls.tcsetattr_error = EINVAL;
    EXPECT_FALSE(device->SetSettings({9600, 8, 0, 0, 0}));
    LineSettings settings;
    ASSERT_TRUE(device->GetSettings(settings));
    EXPECT_EQ(settings.BaudRate, 19200u);
}

TEST_F(PosixFaults, RefusedBreakIsReported) {
    syscalls.ioctl_errors[TIOCSBRK] = EINVAL;
    EXPECT_FALSE(device->SetBreak());
    EXPECT_TRUE(device->ClearBreak());
}

struct FormatCase {
    const char* name;
    LineSettings settings;
    tcflag_t format_bits;  // CSIZE, PARENB, PARODD, CMSPAR and CSTOPB as the driver gets them
};

class PosixFormats : public PosixFaults, public testing::WithParamInterface<FormatCase> {
  protected:
    void SetUp() override {
        syscalls.keep_attributes = true;
        PosixFaults::SetUp();
    }
};

TEST_P(PosixFormats, ReachTheDriverAndReadBackAsSet) {
    LineSettings wanted = GetParam().settings;
    wanted.Other = 0x1234'5678'9ABC;
    ASSERT_TRUE(device->SetSettings(wanted));
    const tcflag_t format_mask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    EXPECT_EQ(syscalls.kept_attributes().c_cflag & format_mask, GetParam().format_bits);
    LineSettings got;
    ASSERT_TRUE(device->GetSettings(got));
    EXPECT_EQ(got.BaudRate, wanted.BaudRate);
    EXPECT_EQ(got.ByteSize, wanted.ByteSize);
    EXPECT_EQ(got.Parity, wanted.Parity);
    EXPECT_EQ(got.StopBits, wanted.StopBits);
    EXPECT_EQ(got.Other, wanted.Other);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PosixFormats,
    testing::Values(FormatCase{"Drive8N1", {19200, 8, 0, 0, 0}, CS8},
                    FormatCase{"Odd7Two", {115200, 7, 1, 2, 0}, CS7 | PARENB | PARODD | CSTOPB},
                    FormatCase{"Even", {38400, 8, 2, 0, 0}, CS8 | PARENB},
                    FormatCase{"Mark", {4800, 8, 3, 0, 0}, CS8 | PARENB | PARODD | CMSPAR},
                    FormatCase{"Space", {2400, 6, 4, 0, 0}, CS6 | PARENB | CMSPAR},
                    FormatCase{"FiveAndAHalf", {1200, 5, 0, 1, 0}, CS5 | CSTOPB}),
    [](const testing::TestParamInfo<FormatCase>& param_info) {
        return std::string(param_info.param.name);
    });

// Catches a raw line that still translates, echoes, strips or lets breaks raise signals.
TEST_F(PosixFaults, LineIsRawWithBreaksMarked) {
    syscalls.keep_attributes = true;
    ASSERT_TRUE(device->SetSettings({9600, 8, 0, 0, 0}));
    const termios& set = syscalls.kept_attributes();
    EXPECT_EQ(set.c_iflag & (PARMRK | INPCK | IGNPAR), tcflag_t{PARMRK | INPCK | IGNPAR});
    EXPECT_EQ(set.c_iflag & (IGNBRK | BRKINT | ISTRIP | IXON | IXOFF | ICRNL | INLCR | IGNCR), 0u);
    EXPECT_EQ(set.c_oflag & OPOST, 0u);
    EXPECT_EQ(set.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(set.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(set.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(set.c_cc[VMIN], 0);
    EXPECT_EQ(set.c_cc[VTIME], 0);
}

TEST(PosixOpenFaults, OpenRefusingTheLineSettingsClosesWhatItOpened) {
    PtyPair pty;
    FaultySyscalls syscalls;
    ScopedSyscalls scoped(syscalls);
    syscalls.tcsetattr_error = EINVAL;
    std::string error;
    error = OpenPosixSerialDevice(pty.path()).reason();
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find("cannot set up"), std::string::npos) << error;
    EXPECT_EQ(syscalls.opens, 1);
    EXPECT_EQ(syscalls.closes, 1);
}

TEST(PosixOpenFaults, OpenRefusedExclusiveHoldClosesWhatItOpened) {
    PtyPair pty;
    FaultySyscalls syscalls;
    ScopedSyscalls scoped(syscalls);
    syscalls.ioctl_errors[TIOCEXCL] = EBUSY;
    EXPECT_FALSE(OpenPosixSerialDevice(pty.path()));
    EXPECT_EQ(syscalls.closes, syscalls.opens);
}

// Where the unplugged adapter is first noticed, and with which error.
struct UnplugCase {
    const char* name;
    const char* where;  // "read", "write" or "ioctl"
    int error;
};

class PosixUnplug : public PosixFaults, public testing::WithParamInterface<UnplugCase> {
  protected:
    void Unplug() {
        const std::string where = GetParam().where;
        if (where == "read") {
            syscalls.read_error = GetParam().error;
            ClearError();
        } else if (where == "write") {
            syscalls.write_error = GetParam().error;
            std::uint8_t byte = 0x55;
            std::size_t written = 0;
            device->Write(&byte, 1, written);
        } else {
            syscalls.ioctl_errors[TIOCSBRK] = GetParam().error;
            device->SetBreak();
        }
    }
};

// Catches calls that keep going to a device that is gone, which would make the job's waits
// spin on errors instead of ending by their budgets.
TEST_P(PosixUnplug, EveryLaterCallFailsAtOnceWithoutTouchingTheDevice) {
    ASSERT_TRUE(pty.Send({1, 2, 3}));
    ASSERT_TRUE(KernelEventually([&] { return ClearError().waiting == 3; }));
    Unplug();
    const int calls_before = syscalls.calls;
    const Report report = ClearError();
    EXPECT_FALSE(report.ok);
    EXPECT_EQ(report.waiting, 0u) << "bytes of a gone device are not offered";
    std::uint8_t buffer[8];
    std::size_t got = 99;
    EXPECT_FALSE(device->Read(buffer, sizeof(buffer), got));
    EXPECT_EQ(got, 0u);
    std::size_t written = 99;
    EXPECT_FALSE(device->Write(buffer, 1, written));
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(device->SetBreak());
    EXPECT_FALSE(device->ClearBreak());
    EXPECT_FALSE(device->Purge(kPurgeRxClear | kPurgeTxClear));
    EXPECT_FALSE(device->SetSettings({9600, 8, 0, 0, 0}));
    EXPECT_EQ(syscalls.calls, calls_before);
    EXPECT_TRUE(device->Close()) << "closing still works";
    EXPECT_EQ(syscalls.closes, 1);
}

INSTANTIATE_TEST_SUITE_P(Adapters, PosixUnplug,
                         testing::Values(UnplugCase{"ReadEIO", "read", EIO},
                                         UnplugCase{"ReadENXIO", "read", ENXIO},
                                         UnplugCase{"WriteEIO", "write", EIO},
                                         UnplugCase{"BreakENXIO", "ioctl", ENXIO},
                                         UnplugCase{"BreakENODEV", "ioctl", ENODEV}),
                         [](const testing::TestParamInfo<UnplugCase>& param_info) {
                             return std::string(param_info.param.name);
                         });

}  // namespace
}  // namespace vantor::platform
