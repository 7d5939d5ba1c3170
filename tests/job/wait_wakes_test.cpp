// The link's waits sleep until something arrives on a device that can wait for its input, and
// count the milliseconds slept as the design's 1 ms polls. These tests run the same jobs, faults
// and all, once with waits that wake on input (the simulated line offers them) and once with a
// poll every millisecond, and hold that the drive and the operator see the very same thing: the
// line's transcript to the nanosecond, the status texts in order, the result and the job's
// length. A wait that ended a poll late or early, or gave up at another count, shows here.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "job_fixture.h"
#include "link/answer_wait.h"
#include "link/serial_port.h"
#include "platform/serial/device_address.h"
#include "platform/serial/port_map.h"
#include "sim/line_transcript.h"
#include "sim/simulated_line.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;

std::shared_ptr<sim::SimWorld> g_polled_world;
int g_input_waits = 0;

// The simulated line as a device that cannot wait for its input: every wait polls.
class PolledLine final : public platform::SerialDevice {
  public:
    explicit PolledLine(std::shared_ptr<sim::SimWorld> world) : line_(std::move(world)) {}
    bool GetSettings(platform::LineSettings& s) override { return line_.GetSettings(s); }
    bool SetSettings(const platform::LineSettings& s) override { return line_.SetSettings(s); }
    bool SetQueueSizes(std::uint32_t rx, std::uint32_t tx) override {
        return line_.SetQueueSizes(rx, tx);
    }
    bool Read(std::uint8_t* b, std::size_t max, std::size_t& got) override {
        return line_.Read(b, max, got);
    }
    bool Write(const std::uint8_t* b, std::size_t n, std::size_t& written) override {
        return line_.Write(b, n, written);
    }
    bool ClearError(std::uint32_t& errors, std::uint32_t& waiting) override {
        return line_.ClearError(errors, waiting);
    }
    bool Purge(std::uint32_t flags) override { return line_.Purge(flags); }
    bool SetBreak() override { return line_.SetBreak(); }
    bool ClearBreak() override { return line_.ClearBreak(); }
    bool Close() override { return line_.Close(); }
    platform::DeviceCondition Condition() const override { return line_.Condition(); }

  private:
    sim::SimulatedLine line_;
};

// The simulated line, counting the waits for its input.
class CountedLine final : public platform::SerialDevice {
  public:
    explicit CountedLine(std::shared_ptr<sim::SimWorld> world) : line_(std::move(world)) {}
    bool GetSettings(platform::LineSettings& s) override { return line_.GetSettings(s); }
    bool SetSettings(const platform::LineSettings& s) override { return line_.SetSettings(s); }
    bool SetQueueSizes(std::uint32_t rx, std::uint32_t tx) override {
        return line_.SetQueueSizes(rx, tx);
    }
    bool Read(std::uint8_t* b, std::size_t max, std::size_t& got) override {
        return line_.Read(b, max, got);
    }
    bool Write(const std::uint8_t* b, std::size_t n, std::size_t& written) override {
        return line_.Write(b, n, written);
    }
    bool ClearError(std::uint32_t& errors, std::uint32_t& waiting) override {
        return line_.ClearError(errors, waiting);
    }
    bool Purge(std::uint32_t flags) override { return line_.Purge(flags); }
    bool SetBreak() override { return line_.SetBreak(); }
    bool ClearBreak() override { return line_.ClearBreak(); }
    bool Close() override { return line_.Close(); }
    platform::DeviceCondition Condition() const override { return line_.Condition(); }
    bool AwaitsInput() const override { return line_.AwaitsInput(); }
    void AwaitInput(int ms) override {
        ++g_input_waits;
        line_.AwaitInput(ms);
    }

  private:
    sim::SimulatedLine line_;
};

platform::OpenedDevice OpenPolled(const std::string&) {
    return std::make_unique<PolledLine>(g_polled_world);
}

platform::OpenedDevice OpenCounted(const std::string&) {
    return std::make_unique<CountedLine>(g_polled_world);
}

// Reaches the bench's world through `scheme` for the object's lifetime; Ports() sends COM1 there.
class ScopedScheme {
  public:
    ScopedScheme(const char* scheme, platform::DeviceOpener opener,
                 std::shared_ptr<sim::SimWorld> world)
        : scheme_(scheme) {
        g_polled_world = std::move(world);
        g_input_waits = 0;
        platform::RegisterDeviceScheme(scheme_, opener);
        ports_.Set(1, scheme_);
    }
    ~ScopedScheme() {
        platform::RegisterDeviceScheme(scheme_, nullptr);
        g_polled_world.reset();
    }
    ScopedScheme(const ScopedScheme&) = delete;
    ScopedScheme& operator=(const ScopedScheme&) = delete;

    const platform::PortMap& Ports() const { return ports_; }

  private:
    std::string scheme_;
    platform::PortMap ports_;
};

struct Seen {
    JobOutcome outcome;
    std::vector<std::string> line;
    std::vector<std::string> statuses;
    double elapsed_ms = 0;
};

struct WaitCase {
    const char* name;
    const char* sim_options;
    bool skip_seeking;
    int address;  // -1: seek
};

class WaitsThatWake : public JobTest, public ::testing::WithParamInterface<WaitCase> {
  protected:
    Seen RunOnce(bool polled) {
        Start(GetParam().sim_options);
        host.Options.SkipSeeking = GetParam().skip_seeking ? 1 : 0;
        host.Options.UseSpecificAddress = GetParam().address >= 0 ? 1 : 0;
        host.Options.SpecificAddress = GetParam().address;
        host.Options.ImagePath = files.Image(ImageBuilder::Kdx(0).FillerPackets(3, 40));
        auto transcript = std::make_shared<sim::LineTranscript>();
        bench->world->Attach(transcript);
        const std::int64_t origin_ns = bench->clock.NowNs();
        std::unique_ptr<ScopedScheme> scheme;
        host.Options.Ports = platform::PortMap();
        if (polled) {
            scheme = std::make_unique<ScopedScheme>("polledsim", &OpenPolled, bench->world);
            host.Options.Ports = scheme->Ports();
        }
        Seen seen;
        seen.outcome = Run();
        seen.line = transcript->Lines(origin_ns);
        seen.statuses = Statuses();
        seen.elapsed_ms = bench->ElapsedMs();
        return seen;
    }
};

TEST_P(WaitsThatWake, SeeWhatPollsEveryMillisecondSee) {
    const Seen woken = RunOnce(false);
    const Seen polled = RunOnce(true);
    EXPECT_EQ(woken.outcome, polled.outcome);
    EXPECT_EQ(woken.statuses, polled.statuses);
    EXPECT_EQ(woken.elapsed_ms, polled.elapsed_ms);
    ASSERT_EQ(woken.line.size(), polled.line.size());
    for (std::size_t i = 0; i < woken.line.size(); ++i) {
        ASSERT_EQ(woken.line[i], polled.line[i]) << "event " << i;
    }
    EXPECT_FALSE(woken.line.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WaitsThatWake,
    ::testing::Values(WaitCase{"seek_and_download", "address=5", false, -1},
                      WaitCase{"specific_address", "address=9", false, 9},
                      WaitCase{"silent_address", "address=9", false, 4},
                      WaitCase{"several_drives", "addresses=3+7", false, -1},
                      WaitCase{"no_break_answer", "no-break-answer", true, -1},
                      WaitCase{"endless_break", "endless-break", true, -1},
                      WaitCase{"late_break", "break-delay=250,break-ms=120", true, -1},
                      WaitCase{"lost_acknowledgements", "ack-on-send=3", true, -1},
                      WaitCase{"late_acknowledgement", "ack-delay=4000", true, -1},
                      WaitCase{"late_response", "process-ms=5000", true, -1},
                      WaitCase{"no_response", "no-response", true, -1},
                      WaitCase{"noise_and_strays", "seed=7,noise=0.02,stray=2", true, -1},
                      WaitCase{"duplicates", "seed=3,duplicate=0.02", true, -1},
                      WaitCase{"unplugged", "unplug-at=2600", true, -1}),
    [](const ::testing::TestParamInfo<WaitCase>& each) { return std::string(each.param.name); });

// A quiet line costs the link one wait for the whole window, not one a millisecond: the probe
// of an address where no drive answers asks the line to wait once, and that wait lasts the
// probe's 19 polls.
TEST(WaitsThatWakeOnALine, AProbeOfASilentAddressWaitsOnceForItsWholeWindow) {
    SimBench bench("address=9");
    ScopedScheme counted("countedsim", &OpenCounted, bench.world);
    ASSERT_EQ(OpenDrivePort(19200, '1', counted.Ports()), PortResult::kDone);
    PortWriteText(0, "\\4\r");
    PortWriteText(0, "PROMPT 1\r");
    g_input_waits = 0;
    const double before_ms = bench.ElapsedMs();
    EXPECT_EQ(PortBytesWaiting(), 0);
    {
        AnswerWait wait(19);
        while (PortBytesWaiting() == 0 && wait.Pause()) {
        }
    }
    EXPECT_EQ(bench.ElapsedMs() - before_ms, 19.0);
    EXPECT_EQ(g_input_waits, 1);
    ClosePort();
}

// An answer ends the wait at the first millisecond at which a poll would have seen it, and the
// polls left stay for the rest of the exchange.
TEST(WaitsThatWakeOnALine, AnAnswerEndsTheWaitAtThePollThatSeesIt) {
    SimBench bench("address=9");
    ScopedScheme counted("countedsim", &OpenCounted, bench.world);
    ASSERT_EQ(OpenDrivePort(19200, '1', counted.Ports()), PortResult::kDone);
    PortWriteText(0, "\\9\r");
    platform::Sleep(10);
    PortWriteText(0, "PROMPT 1\r");
    AnswerWait wait(1000);
    const double before_ms = bench.ElapsedMs();
    while (PortBytesWaiting() < 3 && wait.Pause()) {
    }
    const double answered_ms = bench.ElapsedMs() - before_ms;
    EXPECT_GE(PortBytesWaiting(), 3);
    EXPECT_GT(answered_ms, 0.0);
    EXPECT_LT(answered_ms, 1000.0);
    EXPECT_EQ(answered_ms, static_cast<int>(answered_ms)) << "a whole number of polls";
    EXPECT_LT(g_input_waits, 10);
    ClosePort();
}

}  // namespace
}  // namespace vantor::test
