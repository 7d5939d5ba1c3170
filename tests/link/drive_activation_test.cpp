#include <gtest/gtest.h>

#include <algorithm>

#include "link/drive_activation.h"
#include "link/serial_port.h"
#include "support/test_support.h"

namespace vantor {
namespace {

using platform::Display;

std::string Selection(int address) {
    return {'\\', AddressCharacter(address), '\r'};
}

std::string HostText(sim::SimWorld& world) {
    const auto bytes = world.HostBytes();
    return {bytes.begin(), bytes.end()};
}

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

const char kBootTexts[] = "\rPrompt 1\rpassword qa736\rOrrim\r\r";

class ActivationTest : public ::testing::Test {
  protected:
    void Open(const std::string& options) {
        bench = std::make_unique<test::SimBench>(options);
        ASSERT_EQ(OpenDrivePort(9600, '1', platform::PortMap()), PortResult::kDone);
    }
    void TearDown() override { ClosePort(); }

    std::vector<test::RecordingWindowLink::Call> Progress() {
        std::vector<test::RecordingWindowLink::Call> progress;
        for (const auto& call : bench->window.Calls()) {
            if (call.what == "range" || call.what == "pos") {
                progress.push_back(call);
            }
        }
        return progress;
    }

    std::unique_ptr<test::SimBench> bench;
};

TEST(AddressCharacterTest, DigitsThenCapitalLetters) {
    EXPECT_EQ(AddressCharacter(0), '0');
    EXPECT_EQ(AddressCharacter(9), '9');
    EXPECT_EQ(AddressCharacter(10), 'A');
    EXPECT_EQ(AddressCharacter(31), 'V');
    EXPECT_EQ(AddressCharacter(-1), '/');
}

// The worked example: one drive at address 2, nothing else on the line.
TEST_F(ActivationTest, SeekingFindsTheDriveAtAddress2ByteForByte) {
    Open("address=2");
    EXPECT_EQ(ActivateBySeeking(), SeekActivation::kActivated);

    std::string expected;
    for (int address = 0; address <= 31; ++address) {
        expected += Selection(address) + "PROMPT 1\r";
        if (address == 2) {
            expected += "\\*\r";
        }
    }
    expected += Selection(2) + kBootTexts;
    EXPECT_EQ(HostText(*bench->world), expected);
    EXPECT_EQ(bench->window.Text(Display::AddressLabel), "2");
    EXPECT_EQ(bench->window.StatusTexts(), std::vector<std::string>{"Seeking drives..."});
    const auto progress = Progress();
    ASSERT_EQ(progress.size(), 33u);
    EXPECT_EQ(progress.front().what, "range");
    EXPECT_EQ(progress.front().a, 0);
    EXPECT_EQ(progress.front().b, 31);
    EXPECT_EQ(progress.back().a, 31);
    EXPECT_EQ(bench->world->Mode(2), sim::DriveMode::BootLoader);
}

TEST_F(ActivationTest, SeveralDrivesStopTheSeekAtTheSecondWithoutReselecting) {
    Open("addresses=3+7");
    EXPECT_EQ(ActivateBySeeking(), SeekActivation::kFoundSeveral);
    const std::string sent = HostText(*bench->world);
    EXPECT_EQ(sent.substr(sent.size() - 12), Selection(7) + "PROMPT 1\r");
    EXPECT_EQ(Count(sent, Selection(3)), 1);
    EXPECT_EQ(Count(sent, Selection(8)), 0);
    EXPECT_EQ(bench->window.Text(Display::AddressLabel), "3");
    EXPECT_EQ(bench->window.Text(Display::StatusLine), " Error: Detected multiple drives");
}

TEST_F(ActivationTest, ADriveAtAddress10IsSelectedWithA) {
    Open("address=10");
    EXPECT_EQ(SeekDrives(), 10);
    EXPECT_EQ(bench->window.Text(Display::AddressLabel), "A");
}

// Exactly two bytes after a probe are not an answer: the verdict needs three or more.
TEST_F(ActivationTest, TwoBytesWaitingAreNoAnswer) {
    Open("address=5,prompt-length=2");
    EXPECT_EQ(TryAddress(5), kNoAnswer);
    EXPECT_EQ(bench->window.Text(Display::AddressLabel), "");
}

// A receive path that hands on every byte as it comes in shows a three-byte answer two bytes
// at a time; the probe must wait for the third rather than judge at two.
TEST_F(ActivationTest, AnAnswerArrivingAByteAtATimeIsCreditedToItsOwnAddress) {
    Open("address=5,fifo=1");
    EXPECT_EQ(SeekDrives(), 5);
    EXPECT_EQ(bench->window.Text(Display::AddressLabel), "5");
}

TEST_F(ActivationTest, NoDriveAnsweringStillEntersBootModeOnASilentLine) {
    Open("");
    EXPECT_EQ(ActivateBySeeking(), SeekActivation::kActivated);
    EXPECT_EQ(bench->window.StatusTexts(), std::vector<std::string>{"Seeking drives..."});
    const std::string sent = HostText(*bench->world);
    EXPECT_EQ(Count(sent, "PROMPT 1\r"), 32);
    EXPECT_EQ(Count(sent, "\\*\r"), 0);
    EXPECT_TRUE(sent.ends_with(kBootTexts));
}

TEST_F(ActivationTest, ASilentSpecificAddressIsProbedSevenTimesThenGivenUp) {
    Open("address=4");
    const double start_ms = bench->ElapsedMs();
    EXPECT_EQ(ActivateAtAddress(-1), AddressActivation::kSilent);
    const std::string sent = HostText(*bench->world);
    EXPECT_EQ(Count(sent, "\\/\r"), 7);
    EXPECT_EQ(Count(sent, "PROMPT 1\r"), 7);
    EXPECT_EQ(bench->window.Text(Display::StatusLine),
              "Failed to activate Drive at specific address");
    // Seven probes of 50 ms and 19 polls, three 100 ms gaps, and the 1000 ms pause.
    EXPECT_GE(bench->ElapsedMs() - start_ms, 7 * 69 + 300 + 1000);
}

TEST_F(ActivationTest, ASpecificAddressThatAnswersEntersBootMode) {
    Open("address=31");
    EXPECT_EQ(ActivateAtAddress(31), AddressActivation::kActivated);
    EXPECT_EQ(bench->window.Text(Display::AddressLabel), "V");
    EXPECT_EQ(HostText(*bench->world), Selection(31) + "PROMPT 1\r" + kBootTexts);
    EXPECT_EQ(bench->window.StatusTexts(), std::vector<std::string>{"Trying to activate drive..."});
}

TEST_F(ActivationTest, ADriveThatStaysInCommandModeIsToldPasswordAndFails) {
    Open("address=1,stay-in-command-mode");
    EXPECT_EQ(ActivateBySeeking(), SeekActivation::kCommandModeKept);
    platform::Sleep(20);  // "Password\r" leaves the transmitter
    EXPECT_TRUE(HostText(*bench->world).ends_with(std::string(kBootTexts) + "Password\r"));
    EXPECT_EQ(bench->window.Text(Display::StatusLine), "Failed to enable Orrim");
}

// The numbers the design gives these results.
TEST(ActivationResults, KeepTheDesignsNumbers) {
    EXPECT_EQ(DesignCode(FindResult::kOneDrive), 1);
    EXPECT_EQ(DesignCode(FindResult::kNoDrive), 0);
    EXPECT_EQ(DesignCode(FindResult::kSeveralDrives), -1);
    EXPECT_EQ(DesignCode(BootModeResult::kEntered), 0);
    EXPECT_EQ(DesignCode(BootModeResult::kStillInCommandMode), 1);
    EXPECT_EQ(DesignCode(SeekActivation::kActivated), 1);
    EXPECT_EQ(DesignCode(SeekActivation::kFoundSeveral), 0);
    EXPECT_EQ(DesignCode(SeekActivation::kCommandModeKept), -1);
    EXPECT_EQ(DesignCode(AddressActivation::kActivated), 1);
    EXPECT_EQ(DesignCode(AddressActivation::kSilent), 0);
    EXPECT_EQ(DesignCode(AddressActivation::kCommandModeKept), -1);
}

}  // namespace
}  // namespace vantor
