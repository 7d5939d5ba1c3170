// Whole jobs against the simulated drive, recorded on the line in virtual time (every byte and
// break edge, every purge, each with its time) and compared event by event with transcripts
// kept in golden/. Each wait of the dialogue moves the times of everything after it, and each
// purge shows what it dropped, so a changed wait, poll budget or purge fails one of these.
//
// After an intended change, write the transcripts anew and read the difference before
// committing it:  VANTOR_UPDATE_TRANSCRIPTS=1 build/ci/tests/transcript/vantor_transcript_tests
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "job_fixture.h"
#include "sim/line_transcript.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;

struct Scenario {
    const char* name;         // the transcript's file in golden/, without ".txt"
    const char* description;  // its first line
    const char* sim_options;
    std::function<void(JobHost&, TempFiles&)> set_up;
};

// Names the scenario in a failing test's report.
void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

std::string OnePacketImage(TempFiles& files, std::uint32_t seed) {
    return files.Image(ImageBuilder::Kdx(2).FillerPackets(1, 8, 0x10000, seed));
}

const Scenario kScenarios[] = {
    {"seek_finds_address_2",
     "The seek finds the one drive at address 2, brings it into its boot loader and downloads "
     "one packet.",
     "address=2",
     [](JobHost& host, TempFiles& files) { host.Options.ImagePath = OnePacketImage(files, 1); }},
    {"given_address", "The drive at the given address 5 answers the first probe; one packet.",
     "address=5",
     [](JobHost& host, TempFiles& files) {
         host.Options.UseSpecificAddress = 1;
         host.Options.SpecificAddress = 5;
         host.Options.ImagePath = OnePacketImage(files, 2);
     }},
    {"files_list_with_reset",
     "A files list of two images to a drive already in its boot loader, then the reset frame.", "",
     [](JobHost& host, TempFiles& files) {
         host.Options.SkipSeeking = 1;
         host.Options.ResetAfterDownload = 1;
         host.Options.FilesListPath = files.Text("first    " + OnePacketImage(files, 3) +
                                                 "\nsecond    " + OnePacketImage(files, 4) + "\n");
     }},
    {"packet_repeated_after_refusal",
     "The drive refuses the first send of the packet with 'NO' and a word; the host "
     "resynchronises and sends it again.",
     "refuse-first",
     [](JobHost& host, TempFiles& files) {
         host.Options.SkipSeeking = 1;
         host.Options.ImagePath = OnePacketImage(files, 5);
     }},
    {"failed_resync_with_reactivation",
     "The drive answers each break 1800 ms late, after the host has given up: four failed "
     "resynchronisations, each retry after re-activating at the specific address 3, where no "
     "drive answers (the late break falls into the pause after that failure).",
     "break-delay=1800",
     [](JobHost& host, TempFiles& files) {
         host.Options.UseSpecificAddress = 1;
         host.Options.SpecificAddress = 3;
         host.Options.ImagePath = OnePacketImage(files, 6);
     }},
    // The waits that run out: each ends with a purge at the end of its budget, so a changed
    // budget moves the purge and a dropped purge leaves the late words in the next wait.
    {"acknowledgement_overdue",
     "The drive acknowledges only the second send of the packet: the first wait for the "
     "acknowledgement runs out, the input is purged and the packet sent again.",
     "ack-on-send=2",
     [](JobHost& host, TempFiles& files) {
         host.Options.SkipSeeking = 1;
         host.Options.ImagePath = OnePacketImage(files, 7);
     }},
    {"response_overdue",
     "The drive acknowledges the packet but sends no response: the wait for it runs out and the "
     "input is purged; the download goes on.",
     "no-response",
     [](JobHost& host, TempFiles& files) {
         host.Options.SkipSeeking = 1;
         host.Options.ImagePath = OnePacketImage(files, 8);
     }},
    {"unknown_response",
     "The drive answers with a response word the host does not know: the input is purged.",
     "response=0x1234",
     [](JobHost& host, TempFiles& files) {
         host.Options.SkipSeeking = 1;
         host.Options.ImagePath = OnePacketImage(files, 10);
     }},
};

std::string GoldenPath(const Scenario& scenario) {
    return std::string(VANTOR_GOLDEN_DIR) + "/" + scenario.name + ".txt";
}

// The event lines of a transcript file; '#' lines and blank lines are comments.
std::vector<std::string> ReadEvents(const std::string& path) {
    std::vector<std::string> events;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line[0] != '#') {
            events.push_back(line);
        }
    }
    return events;
}

class TranscriptTest : public JobTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(TranscriptTest, JobOnTheLineMatchesItsTranscript) {
    const Scenario& scenario = GetParam();
    Start(scenario.sim_options);
    auto transcript = std::make_shared<sim::LineTranscript>();
    bench->world->Attach(transcript);
    scenario.set_up(host, files);

    const std::int64_t origin_ns = platform::NowNs();
    const JobOutcome result = Run();
    platform::Sleep(20);  // the last bytes the job wrote leave the transmitter

    std::vector<std::string> events = transcript->Lines(origin_ns);
    events.push_back("end result " + std::to_string(DesignCode(result)));
    events.push_back("end status \"" + Status() + "\"");
    ASSERT_EQ(transcript->Dropped(), 0U);

    const std::string path = GoldenPath(scenario);
    if (std::getenv("VANTOR_UPDATE_TRANSCRIPTS") != nullptr) {
        std::ofstream file(path, std::ios::trunc);
        file << "# " << scenario.description
             << "\n# Simulated drive: \"sim:" << scenario.sim_options
             << "\". Times in ms from the job's start; written by VANTOR_UPDATE_TRANSCRIPTS=1.\n";
        for (const std::string& line : events) {
            file << line << "\n";
        }
        ASSERT_TRUE(file.good()) << "cannot write " << path;
        GTEST_SKIP() << "wrote " << path;
    }

    const std::vector<std::string> expected = ReadEvents(path);
    ASSERT_FALSE(expected.empty()) << "no transcript at " << path;
    for (std::size_t i = 0; i < std::max(expected.size(), events.size()); ++i) {
        const std::string want = i < expected.size() ? expected[i] : "(nothing)";
        const std::string got = i < events.size() ? events[i] : "(nothing)";
        if (want != got) {
            ADD_FAILURE() << scenario.name << ": event " << i + 1 << " of " << expected.size()
                          << " differs\n  expected: " << want << "\n  actual:   " << got
                          << "\n  (previous: " << (i > 0 ? events[i - 1] : "none") << ")";
            break;  // everything after the first difference moves with it
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Jobs, TranscriptTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& scenario) { return std::string(scenario.param.name); });

}  // namespace
}  // namespace vantor::test
