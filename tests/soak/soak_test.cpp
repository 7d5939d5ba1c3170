// Seeded runs of the whole job against a simulated drive whose faults are drawn from the seed.
// Each run checks the job's promises: a success means the drive accepted every packet of the
// image in order, each intact or changed only in a way the packet checksum cannot see (those
// runs are counted, per noise level); the status line shows only the system's own texts and
// its last text says how the job ended; every way out closes the port and clears JobRunning;
// no run passes its time budget. The faults include an adapter unplugged at any moment,
// answers later than the host's budgets, bytes that arrive twice and a drive that resets itself
// in the middle of a packet.
//
// VANTOR_SOAK_RUNS (2000) and VANTOR_SOAK_FIRST_SEED (1000) choose the seeds; scripts/soak.sh
// runs many of them on every core and adds up the figures this prints.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "job/job.h"
#include "job_fixture.h"
#include "link/serial_port.h"
#include "sim/seeded_random.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;

const std::set<std::string> kFixedTexts = {
    "Error : Failed to initialize COM port",
    "Seeking drives...",
    "Trying to activate drive...",
    " Error: Detected multiple drives",
    "Failed to enable Orrim",
    "Failed to activate Drive at specific address",
    "Resync Failure:  Slave did not respond to serial break",
    "Resync Failure:  Slave did not quit sending a serial break",
    "Orrim Init Failure:  Slave did not respond to cmd packet",
    "Orrim Init Failure: Slave incorrectly transmitted",
    "Orrim Init Failure:  Incorrect response received.",
    "Error: Unable to open file",
    "Processing file",
    "Attempting to resychronize communications",
    "Error: Packet  data response failure.",
    "Error: Packet invalid command failure.",
    "Download successful",
    "WARNING: Packet attemped to write or erase protected memory.",
    "Error: Packet data response error",
    "ERROR: Download failed.",
    "Failed to open files list",
    "File not found,press Advanced button to add files.",
    "the serial device went away",
};

bool IsSystemText(const std::string& text) {
    static const std::regex numbered(
        R"((Downloading packet [1-9][0-9]*)|(Error: Packet [1-9][0-9]* transmission failure\.))");
    return kFixedTexts.count(text) != 0 || std::regex_match(text, numbered);
}

// One run's drive, options and image, all drawn from the seed.
struct Scenario {
    std::string sim_options;
    bool use_address = false;
    int address = 0;
    bool skip_seeking = false;
    std::string noise = "0";  // the share of corrupted bytes, as the options give it
    int packets = 1;
    int payload_bytes = 8;
};

// The drive's faults in its answers and breaks, drawn in this order for every seed.
void DrawAnswerFaults(sim::SeededRandom& random, std::ostringstream& options) {
    auto chance = [&](double p) { return random.Chance(p); };
    auto pick = [&](int low, int high) { return random.Between(low, high); };
    if (chance(0.2)) {
        options << ",ack-on-send=" << pick(1, 4);
    }
    if (chance(0.2)) {
        options << ",refuse-first";
    }
    if (chance(0.1)) {
        options << ",response=??";
    }
    if (chance(0.1)) {
        options << ",status=" << (chance(0.5) ? "0x0080" : "0x0001");
    }
    if (chance(0.05)) {
        options << ",no-response";
    }
    if (chance(0.05)) {
        options << (chance(0.5) ? ",no-break-answer" : ",endless-break");
    }
    if (chance(0.05)) {
        options << ",stray=" << pick(1, 3);
    }
    if (chance(0.3)) {
        options << ",break-delay=" << pick(0, 300) << ",break-ms=" << pick(1, 150);
    }
}

// Drawn with the simulator's own generator, so that a seed gives the same scenario with any
// standard library.
Scenario Draw(std::uint64_t seed) {
    sim::SeededRandom random(seed);
    auto chance = [&](double p) { return random.Chance(p); };
    auto pick = [&](int low, int high) { return random.Between(low, high); };

    Scenario s;
    std::ostringstream options;
    options << "seed=" << seed;
    if (chance(0.5)) {
        s.address = pick(0, 31);
        options << ",address=" << s.address;
        s.use_address = chance(0.5);
    } else {
        s.skip_seeking = chance(0.7);
    }
    if (chance(0.5)) {
        std::ostringstream noise;
        noise << pick(1, 20) / 1000.0;
        s.noise = noise.str();
        options << ",noise=" << s.noise;
    }
    DrawAnswerFaults(random, options);
    s.packets = pick(0, 3);
    s.payload_bytes = pick(8, 64);  // room for data, so no two packets are alike
    // Drawn last, so that the faults above stay what they were for each seed.
    if (chance(0.05)) {
        options << ",duplicate=" << pick(1, 20) / 1000.0;
    }
    if (chance(0.05)) {
        options << ",unplug-at=" << pick(1, 20'000);
    }
    if (chance(0.05)) {  // past the response budget, or past the acknowledgement's
        options << (chance(0.5) ? ",process-ms=" : ",ack-delay=") << pick(3'001, 8'000);
    }
    if (chance(0.05)) {  // the first frame is the init frame
        options << ",reset-in-frame=" << pick(1, s.packets + 1);
    }
    s.sim_options = options.str();
    return s;
}

int EnvNumber(const char* name, int otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : otherwise;
}

std::uint16_t SumOfBody(const Bytes& packet) {
    std::uint16_t sum = 0;
    for (std::size_t i = 2; i + 2 < packet.size(); ++i) {
        sum = static_cast<std::uint16_t>(sum + packet[i]);
    }
    return sum;
}

// The fewest bytes changed, lost or added that turn `from` into `to`.
int EditDistance(const Bytes& from, const Bytes& to) {
    std::vector<int> row(to.size() + 1);
    for (std::size_t j = 0; j <= to.size(); ++j) {
        row[j] = static_cast<int>(j);
    }
    for (std::size_t i = 1; i <= from.size(); ++i) {
        int diagonal = row[0];
        row[0] = static_cast<int>(i);
        for (std::size_t j = 1; j <= to.size(); ++j) {
            const int above = row[j];
            row[j] = std::min(
                {row[j] + 1, row[j - 1] + 1, diagonal + (from[i - 1] != to[j - 1] ? 1 : 0)});
            diagonal = above;
        }
    }
    return row[to.size()];
}

// How far `accepted` is from the image's packet `sent`: 0 when equal; the number of bytes the
// line changed, lost or added when the result is one the drive's checks cannot see (same length
// and BOP word, and its own additive checksum holds: a byte changed by +d and another by -d, or
// a byte lost and another doubled, leave the sum as it was); -1 otherwise. Noise touches a few
// bytes; a packet that needs more than a quarter of its bytes changed is another packet.
int BlindDistance(const Bytes& accepted, const Bytes& sent) {
    if (accepted == sent) {
        return 0;
    }
    if (accepted.size() != sent.size() || accepted.size() < 6 || accepted[0] != sent[0] ||
        accepted[1] != sent[1]) {
        return -1;
    }
    const std::size_t end = accepted.size();
    if (SumOfBody(accepted) != ((accepted[end - 2] << 8) | accepted[end - 1])) {
        return -1;
    }
    const int distance = EditDistance(accepted, sent);
    return distance <= static_cast<int>(end / 4) ? distance : -1;
}

std::string Hex(const Bytes& bytes) {
    std::string text;
    char byte[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, " %02X", b);
        text += byte;
    }
    return text;
}

enum class Delivery { Intact, Undetectable, Broken };

// Walks the accepted packets in order: each is the packet in hand again (a resend) or the next
// one of the image. A success must end with every packet of the image accepted.
Delivery CompareDelivery(const std::vector<Bytes>& accepted, const std::vector<Bytes>& image,
                         std::string& why) {
    Delivery delivery = Delivery::Intact;
    std::size_t next = 0;  // the image's packet that comes next
    for (std::size_t k = 0; k < accepted.size(); ++k) {
        const int again = next > 0 ? BlindDistance(accepted[k], image[next - 1]) : -1;
        const int onward = next < image.size() ? BlindDistance(accepted[k], image[next]) : -1;
        int distance = again;
        if (onward >= 0 && (again < 0 || onward < again)) {
            distance = onward;
            ++next;
        }
        if (distance < 0) {
            why = "accepted packet " + std::to_string(k + 1) + " is neither packet " +
                  std::to_string(next) + " again nor packet " + std::to_string(next + 1) + ":" +
                  Hex(accepted[k]) + " (packet " + std::to_string(next + 1) + ":" +
                  (next < image.size() ? Hex(image[next]) : std::string(" none")) + ")";
            return Delivery::Broken;
        }
        if (distance > 0) {
            delivery = Delivery::Undetectable;
        }
    }
    if (next != image.size()) {
        why = "the drive accepted " + std::to_string(next) + " of the image's " +
              std::to_string(image.size()) + " packets";
        return Delivery::Broken;
    }
    return delivery;
}

// The status line's last text says how the job ended.
bool LastTextFits(JobOutcome outcome, const std::vector<std::string>& texts) {
    const std::string last = texts.empty() ? "" : texts.back();
    switch (outcome.result) {
        case JobResult::kDone:
            return last == "Download successful";
        case JobResult::kSeveralDrives:
            return last == " Error: Detected multiple drives";
        case JobResult::kResyncFailed:
            return last.rfind("Resync Failure:  ", 0) == 0;
        case JobResult::kIdentifyFailed:
            return last.rfind("Orrim Init Failure:", 0) == 0;
        case JobResult::kImageFailed:
            return last == "ERROR: Download failed.";
        case JobResult::kPortLost:  // an unplugged adapter
            return last == "the serial device went away";
        default:
            return false;
    }
}

// Runs and undetectable corruptions per noise level, printed for scripts/soak.sh to add up.
struct Tally {
    std::map<std::string, std::pair<int, int>> by_noise;  // noise: runs, undetectable
    int runs = 0;
    int successes = 0;

    void Print(std::uint64_t first_seed, double seconds) const {
        std::printf("soak-runs %d successes %d seeds %llu..%llu seconds %.2f\n", runs, successes,
                    static_cast<unsigned long long>(first_seed),
                    static_cast<unsigned long long>(first_seed + runs - 1), seconds);
        for (const auto& [noise, counts] : by_noise) {
            std::printf("soak-noise %s runs %d undetectable %d\n", noise.c_str(), counts.first,
                        counts.second);
        }
    }
};

class SoakTest : public JobTest {};

TEST_F(SoakTest, SeededFaultyDrivesNeverBreakTheJobsPromises) {
    const int runs = EnvNumber("VANTOR_SOAK_RUNS", 2000);
    const auto first_seed = static_cast<std::uint64_t>(EnvNumber("VANTOR_SOAK_FIRST_SEED", 1000));
    const auto began = std::chrono::steady_clock::now();
    Tally tally;
    for (int run = 0; run < runs; ++run) {
        const std::uint64_t seed = first_seed + static_cast<std::uint64_t>(run);
        SCOPED_TRACE("reproduce with seed=" + std::to_string(seed));
        const Scenario s = Draw(seed);
        Start(s.sim_options);
        host.Options.UseSpecificAddress = s.use_address ? 1 : 0;
        host.Options.SpecificAddress = s.address;
        host.Options.SkipSeeking = s.skip_seeking ? 1 : 0;
        const ImageBuilder image =
            ImageBuilder::Kdx(2).FillerPackets(s.packets, static_cast<std::size_t>(s.payload_bytes),
                                               0x10000, static_cast<std::uint32_t>(seed));
        host.Options.ImagePath = files.Image(image);

        const JobOutcome result = Run();

        // Seek and boot entry, four resynchronisations with re-activations, and for each
        // packet three sends with their waits and resynchronisations and the response wait.
        const double budget_ms = 60'000.0 + s.packets * 25'000.0;
        EXPECT_LE(bench->ElapsedMs(), budget_ms) << s.sim_options;
        auto& [noise_runs, undetectable] = tally.by_noise[s.noise];
        ++tally.runs;
        ++noise_runs;
        if (result == JobResult::kDone) {
            ++tally.successes;
            std::string why;
            const Delivery delivery =
                CompareDelivery(bench->world->AcceptedPackets(), PacketsOf(image.Build(), 16), why);
            EXPECT_NE(delivery, Delivery::Broken) << why << "; " << s.sim_options;
            undetectable += delivery == Delivery::Undetectable ? 1 : 0;
        }
        const std::vector<std::string> texts = Statuses();
        for (const std::string& text : texts) {
            EXPECT_TRUE(IsSystemText(text)) << "\"" << text << "\" " << s.sim_options;
        }
        EXPECT_TRUE(LastTextFits(result, texts))
            << "result " << DesignCode(result) << " after \"" << (texts.empty() ? "" : texts.back())
            << "\" " << s.sim_options;
        if (HasFailure()) {
            break;  // one seed's report is enough to work with
        }
    }
    tally.Print(first_seed,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
}

}  // namespace
}  // namespace vantor::test
