// How a run of vantor-cli ends when something outside the drive fails: an adapter pulled out in
// the middle of the download, standard output on a full disk, a controlling program whose pipe
// is full. Run as the built program, with what a script would see.
#include <gtest/gtest.h>

#include "cli/cli_runner.h"
#include "cli/json_lines.h"
#include "image/image_writer.h"

namespace vantor::test {
namespace {

constexpr int kPortLost = 6;

std::string WriteImage(const TempDir& dir, int packets) {
    const auto bytes = image_writer::ImageBuilder::Kdx(2).FillerPackets(packets, 64).Build();
    return dir.Write("image.orb", bytes);
}

// Catches a simulated unplug that only shows as a resynchronisation or packet failure after
// the link's budgets, where a real adapter pulled out ends the job at once as a lost port.
TEST(RunEnd, AnAdapterPulledOutMidDownloadEndsItAsALostPort) {
    TempDir dir;
    const std::string image = WriteImage(dir, 40);  // about 3 s of packets at 9600 baud
    const CliRun run = RunCli({"download", image, "--port", "sim:unplug-at=1500", "--skip-seeking",
                               "--virtual-time", "--json"});
    EXPECT_EQ(run.status, kPortLost) << run.err;
    std::string last_status;
    int packets_shown = 0;
    for (const JsonObject& event : ParseJsonLines(run.out)) {
        if (StringField(event, "event") == "status") {
            last_status = StringField(event, "text");
            packets_shown += last_status.rfind("Downloading packet", 0) == 0 ? 1 : 0;
        }
    }
    EXPECT_GT(packets_shown, 1) << "the unplug came before the packets";
    EXPECT_EQ(last_status, "the serial device went away");
    EXPECT_NE(run.err.find("the serial device went away"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace vantor::test
