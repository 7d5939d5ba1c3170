// The drive's text command mode: selection, the prompt answer and the entry into the boot
// loader, timed as the host's probes and entry sequence time them.
#include <gtest/gtest.h>

#include <ostream>

#include "platform/serial/serial_device.h"
#include "sim_host.h"

namespace vantor::sim::testing {
namespace {

char AddressCharacter(int address) {
    return static_cast<char>(address < 10 ? '0' + address : 'A' + address - 10);
}

std::string Selection(char character) {
    return std::string("\\") + character + "\r";
}

// The host's probe: the selection, 50 ms, "PROMPT 1\r", then up to 19 polls of 1 ms ending
// once 2 bytes wait. Returns the bytes waiting after the poll.
std::uint32_t Probe(SimHost& host, char character) {
    host.Send(Selection(character));
    host.WaitMs(50);
    host.Send("PROMPT 1\r");
    std::uint32_t waiting = host.Waiting();
    for (int poll = 0; waiting < 2 && poll < 19; ++poll) {
        host.WaitMs(1);
        waiting = host.Waiting();
    }
    return waiting;
}

// The host's entry sequence, then the lone carriage return and its 199 polls. Returns the
// bytes waiting after the poll: 0 when the drive left command mode.
std::uint32_t EnterBootLoader(SimHost& host) {
    host.line.Purge(platform::kPurgeTxClear);
    for (const char* text : {"\rPrompt 1\r", "password qa736\r", "Orrim\r"}) {
        host.Send(text);
        host.WaitMs(500);
    }
    host.line.Purge(platform::kPurgeTxClear | platform::kPurgeRxClear);
    host.Send("\r");
    std::uint32_t waiting = host.Waiting();
    for (int poll = 0; waiting == 0 && poll < 199; ++poll) {
        host.WaitMs(1);
        waiting = host.Waiting();
    }
    return waiting;
}

struct ProbeCase {
    int address;
    std::uint32_t baud;
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
    *os << "address " << c.address << " at " << c.baud << " baud";
}

class ProbeAtAddress : public ::testing::TestWithParam<ProbeCase> {};

INSTANTIATE_TEST_SUITE_P(Addresses, ProbeAtAddress,
                         ::testing::Values(ProbeCase{0, 9600}, ProbeCase{9, 9600},
                                           ProbeCase{10, 9600}, ProbeCase{31, 9600},
                                           ProbeCase{2, 19200}, ProbeCase{31, 19200}));

// Catches a prompt that comes too late for the host's 19-poll probe at the slow rate.
TEST_P(ProbeAtAddress, DriveAnswersItsOwnAddressWithinTheProbe) {
    SimHost host("address=" + std::to_string(GetParam().address), GetParam().baud);
    EXPECT_EQ(Probe(host, AddressCharacter(GetParam().address)), 3u);
}

TEST_P(ProbeAtAddress, DriveStaysSilentAtEveryOtherAddress) {
    SimHost host("address=" + std::to_string(GetParam().address), GetParam().baud);
    for (int other = 0; other < 32; ++other) {
        if (other != GetParam().address) {
            ASSERT_EQ(Probe(host, AddressCharacter(other)), 0u) << "address " << other;
        }
    }
}

TEST(CommandMode, SelectionItselfIsNotAnswered) {
    SimHost host("address=2");
    host.Send(Selection('2'));
    host.WaitMs(50);
    EXPECT_EQ(host.Waiting(), 0u);
}

TEST(CommandMode, PromptLengthSetsTheAnswersBytes) {
    SimHost host("address=2,prompt-length=2");
    EXPECT_EQ(Probe(host, '2'), 2u);
    host.WaitMs(50);
    EXPECT_EQ(host.ReadAll(), test::BytesOf("\r\n"));
}

TEST(CommandMode, AsteriskSelectsEveryDriveAndAnAddressOnlyItsOwn) {
    SimHost host("addresses=3+7");
    host.Send(Selection('*'));
    host.WaitMs(50);
    host.Send("PROMPT 1\r");
    host.WaitMs(50);
    EXPECT_EQ(host.ReadAll().size(), 6u);
    EXPECT_EQ(Probe(host, '7'), 3u);
    host.WaitMs(50);
    host.ReadAll();
    EXPECT_EQ(Probe(host, '5'), 0u);
}

TEST(CommandMode, EntrySequencePutsTheSelectedDriveIntoItsBootLoader) {
    SimHost host("addresses=2+5");
    ASSERT_EQ(Probe(host, '2'), 3u);
    EXPECT_EQ(EnterBootLoader(host), 0u);
    EXPECT_EQ(host.world().Mode(2), DriveMode::BootLoader);
    EXPECT_EQ(host.world().Mode(5), DriveMode::CommandMode);
    host.SendBreak(100);
    host.WaitMs(50);
    EXPECT_EQ(host.Events(LineEvent::Kind::DriveBreak).size(), 1u);
}

TEST(CommandMode, BootLoaderIsSilentToCommandTexts) {
    SimHost host("address=2");
    Probe(host, '2');
    ASSERT_EQ(EnterBootLoader(host), 0u);
    EXPECT_EQ(Probe(host, '2'), 0u);
}

struct FailedEntryCase {
    std::string options;
};

void PrintTo(const FailedEntryCase& c, std::ostream* os) {
    *os << "\"" << c.options << "\"";
}

class FailedEntry : public ::testing::TestWithParam<FailedEntryCase> {};

INSTANTIATE_TEST_SUITE_P(Drives, FailedEntry,
                         ::testing::Values(FailedEntryCase{"address=2,password=secret"},
                                           FailedEntryCase{"address=2,stay-in-command-mode"}));

TEST_P(FailedEntry, DriveStaysInCommandModeAndAnswersTheLoneReturn) {
    SimHost host(GetParam().options);
    Probe(host, '2');
    EXPECT_EQ(EnterBootLoader(host), 3u);
    EXPECT_EQ(host.world().Mode(2), DriveMode::CommandMode);
}

TEST(CommandMode, OwnPasswordIsAccepted) {
    SimHost host("address=2,password=secret");
    host.Send(Selection('2'));
    host.Send("\rPrompt 1\rpassword secret\rOrrim\r");
    host.WaitMs(100);
    EXPECT_EQ(host.world().Mode(2), DriveMode::BootLoader);
}

// The word Orrim alone, or after a wrong step, must not open the boot loader.
TEST(CommandMode, OrrimOutOfSequenceDoesNothing) {
    SimHost host("address=2");
    host.Send(Selection('2'));
    host.Send("Orrim\rPrompt 1\rOrrim\rpassword qa736\rOrrim\r");
    host.WaitMs(100);
    EXPECT_EQ(host.world().Mode(2), DriveMode::CommandMode);
}

TEST(CommandMode, UnselectedDriveIgnoresTheEntrySequence) {
    SimHost host("address=2");
    host.Send(Selection('3'));
    EXPECT_EQ(EnterBootLoader(host), 0u);
    EXPECT_EQ(host.world().Mode(2), DriveMode::CommandMode);
}

}  // namespace
}  // namespace vantor::sim::testing
