// The whole job through the termios backend on the virtual clock: beneath the system call layer
// a simulated UART driver marks the simulated drive's breaks and 0xFF bytes as the terminal layer
// does and keeps a kernel output buffer that drains at line rate, so that breaks both ways,
// purges, synchronous writes and an adapter unplugged in the middle of a download run exactly as
// they would on a USB adapter, and the same way every time.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "image/image_writer.h"
#include "job/job.h"
#include "link/serial_port.h"
#include "platform/clock.h"
#include "platform/serial/device_address.h"
#include "platform/serial/port_map.h"
#include "platform/serial/posix_syscalls.h"
#include "sim/simulated_line.h"
#include "simulated_uart.h"
#include "support/test_support.h"

namespace vantor {
namespace {

using test::kUartPath;
using test::SimulatedUart;

using image_writer::Bytes;

// The packets of a KDX image, each from its BOP word to its checksum.
std::vector<Bytes> PacketsOf(const Bytes& image) {
    std::vector<Bytes> packets;
    std::size_t at = image_writer::kKdxHeaderBytes;
    while (at + 4 <= image.size()) {
        const std::size_t length = (image[at + 2] << 8) | image[at + 3];
        packets.emplace_back(image.begin() + at, image.begin() + at + 6 + length);
        at += 6 + length;
    }
    return packets;
}

class JobOverTermios : public testing::Test {
  protected:
    void SetUp() override {
        // The simulated UART's path is the same in every test process: each takes its lock
        // files in a folder of its own.
        ASSERT_NE(::mkdtemp(lock_dir.data()), nullptr);
        ::setenv("VANTOR_LOCK_DIR", lock_dir.c_str(), 1);
        Bytes every_value;
        for (int value = 0; value < 256; ++value) {
            every_value.push_back(static_cast<std::uint8_t>(value));
        }
        const auto builder = image_writer::ImageBuilder::Kdx(2).FillerPackets(6, 240).Packet(
            image_writer::WritePayload(0x00020000, every_value));
        image = builder.Build();
        image_path = builder.WriteTemp("vantor-termios-job");
        host.Options.Ports.Set(1, kUartPath);
        host.Options.PortIndex = 0;
        host.Options.BaudChoice = 1;
        host.Options.SkipSeeking = 1;
        host.Options.ImagePath = image_path;
    }
    void TearDown() override {
        std::remove(image_path.c_str());
        ::unsetenv("VANTOR_LOCK_DIR");
        ::rmdir(lock_dir.c_str());
    }

    JobOutcome Run() {
        host.JobRunning = 1;
        const JobOutcome result = DownloadJob(host);
        EXPECT_EQ(host.JobRunning, 0);
        EXPECT_EQ(CurrentPort(), nullptr);
        EXPECT_TRUE(uart.opened);
        EXPECT_TRUE(uart.closed) << "every way out closes the port";
        return result;
    }

    int Count(sim::LineEvent::Kind kind) {
        const auto traffic = bench.world->Traffic();
        return static_cast<int>(std::count_if(traffic.begin(), traffic.end(),
                                              [&](const auto& e) { return e.kind == kind; }));
    }

    test::SimBench bench;
    SimulatedUart uart{bench.world};
    platform::ScopedSyscalls scoped_syscalls{uart};
    JobHost host;
    Bytes image;
    std::string image_path;
    // In the temporary folder the run was given ($TMPDIR), as every file a test makes.
    std::string lock_dir = testing::TempDir() + "vantor-locks-XXXXXX";
};

// The link's poll budgets count from the end of a write: a write that returned while the kernel
// still held most of its bytes would leave the acknowledgement wait to the line time.
TEST_F(JobOverTermios, WriteReturnsOnlyOnceAllButTheFifoIsOnTheLine) {
    auto device = test::ValueOf(platform::OpenSerialDevice(kUartPath));
    ASSERT_NE(device, nullptr);
    const std::vector<std::uint8_t> bytes(6000, 0x55);
    std::size_t written = 0;
    EXPECT_TRUE(device->Write(bytes.data(), bytes.size(), written));
    EXPECT_EQ(written, bytes.size());
    EXPECT_LE(uart.OutputQueued(), platform::kTransmitFifoBytes);
    const auto traffic = bench.world->Traffic();
    const auto on_line = std::count_if(traffic.begin(), traffic.end(), [](const auto& e) {
        return e.kind == sim::LineEvent::Kind::HostByte;
    });
    EXPECT_GE(on_line + 2 * static_cast<long>(platform::kTransmitFifoBytes), 6000);
}

TEST_F(JobOverTermios, DownloadsEveryPacketIntactWithBreaksBothWays) {
    EXPECT_EQ(Run(), JobResult::kDone);
    EXPECT_EQ(bench.window.Text(platform::Display::StatusLine), "Download successful");
    EXPECT_EQ(bench.world->AcceptedPackets(), PacketsOf(image));
    EXPECT_GE(Count(sim::LineEvent::Kind::HostBreak), 1);
    EXPECT_GE(Count(sim::LineEvent::Kind::DriveBreak), 1);
}

// Catches a gone adapter making the job spin on errors or hang in a wait that never ends.
TEST_F(JobOverTermios, AdapterUnpluggedMidDownloadEndsTheJobWithinSecondsAndClosesThePort) {
    double unplugged_at_ms = 0;
    uart.unplug_when = [&] {
        const bool now = bench.world->AcceptedPackets().size() >= 3;
        unplugged_at_ms = now && unplugged_at_ms == 0 ? bench.ElapsedMs() : unplugged_at_ms;
        return now;
    };
    const JobOutcome result = Run();
    EXPECT_EQ(result, JobResult::kPortLost);
    EXPECT_EQ(bench.world->AcceptedPackets().size(), 3u);
    EXPECT_EQ(bench.window.Text(platform::Display::StatusLine), platform::kLostSerialDeviceText);
    // The unplug is noticed at the next look at the port, not after the link's budgets (the
    // 5000-poll acknowledgement wait and the resynchronisations, about 17 s of line time).
    EXPECT_LE(bench.ElapsedMs() - unplugged_at_ms, 2'000.0);
}

}  // namespace
}  // namespace vantor
