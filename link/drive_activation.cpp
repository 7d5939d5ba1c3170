#include "link/drive_activation.h"

#include <bit>
#include <cstdint>
#include <string>

#include "link/answer_wait.h"
#include "link/link_tally.h"
#include "link/serial_port.h"
#include "platform/clock.h"
#include "platform/window_link.h"

namespace vantor {

using platform::Display;
using platform::ReportStatus;

namespace {

constexpr int kSelectToPromptMs = 50;
constexpr int kProbePollBudget = 19;
constexpr int kProbeAnswerBytes = 3;
constexpr int kAfterAsteriskMs = 100;
constexpr int kBootTextGapMs = 500;
constexpr int kCommandModePollBudget = 199;
constexpr int kRetryGapMs = 100;
constexpr int kAddressRetries = 3;
constexpr int kGiveUpPauseMs = 1000;
// Addresses 0 to 9 are the digits "0" to "9"; from 10 on they are letters from "A".
constexpr int kFirstLetterAddress = 10;
constexpr int kDigitCharBase = '0';        // 48: address 0 is "0"
constexpr int kLetterCharBase = 'A' - 10;  // 55: address 10 is "A"

// Reports the failure on the status line and keeps it in the tally, where the first one of
// the job stays.
void ReportFailure(ActivationFailure failure, int address, std::uint32_t answered = 0) {
    ReportStatus(ActivationFailureText(failure), 0);
    NoteActivationFailure(failure, address, answered);
}

void SendSelection(int address) {
    const char selection[] = {'\\', AddressCharacter(address), '\r', '\0'};
    PortWriteText(0, selection);
}

void ShowAddress(int address) {
    CurrentLinkTally().AnsweredAddress = address;
    platform::Window().SetText(Display::AddressLabel, std::string(1, AddressCharacter(address)));
}

// Polls for an answer to "PROMPT 1\r"; the drive counts as answering when more than two
// bytes are waiting afterwards. Bytes that were waiting before count too. The poll ends early
// only once the verdict is reached: ending it at two bytes, as the first design did, judges
// an answer that arrives a byte at a time (a USB adapter in low-latency mode) before its third
// byte is in, misses the drive and credits its answer to the next address.
// On a network port the window lasts until the server has given the drive as long (AnswerWait).
bool ProbeAnswered() {
    AnswerWait wait(kProbePollBudget);
    while (PortBytesWaiting() < kProbeAnswerBytes && !PortLost() && wait.Pause()) {
    }
    const bool answered = PortBytesWaiting() >= kProbeAnswerBytes;
    CurrentLinkTally().ProbesAnswered += answered ? 1 : 0;
    return answered;
}

// Sends the selection for `address`, then the prompt command, and judges the answer.
bool Probe(int address) {
    SendSelection(address);
    platform::Sleep(kSelectToPromptMs);
    PortWriteText(0, "PROMPT 1\r");
    return ProbeAnswered();
}

}  // namespace

const char* ActivationFailureText(ActivationFailure failure) {
    switch (failure) {
        case ActivationFailure::kSeveralDrives:
            return " Error: Detected multiple drives";
        case ActivationFailure::kAddressSilent:
            return "Failed to activate Drive at specific address";
        case ActivationFailure::kCommandModeKept:
            return "Failed to enable Orrim";
        case ActivationFailure::kNone:
            break;
    }
    return "";
}

char AddressCharacter(int address) {
    return static_cast<char>(address < kFirstLetterAddress ? address + kDigitCharBase
                                                           : address + kLetterCharBase);
}

int TryAddress(int address) {
    ReportStatus("Trying to activate drive...", 0);
    if (!Probe(address)) {
        return kNoAnswer;
    }
    ShowAddress(address);
    return address;
}

int SeekDrives() {
    ReportStatus("Seeking drives...", 0);
    platform::Window().SetProgressRange(0, kHighestAddress);
    std::uint32_t& answered = CurrentLinkTally().LastSeekAnswered;
    answered = 0;
    int found = kNoAnswer;
    // A port whose far end went away ends the seek: nothing can answer any more.
    for (int address = 0; address <= kHighestAddress && !PortLost(); ++address) {
        SendSelection(address);
        platform::Sleep(kSelectToPromptMs);
        PortWriteText(0, "PROMPT 1\r");
        platform::Window().SetProgressPos(address);
        if (!ProbeAnswered()) {
            continue;
        }
        answered |= std::uint32_t{1} << address;
        if (found != kNoAnswer) {
            return kSeveralAnswered;
        }
        found = address;
        ShowAddress(address);
        PortWriteText(0, "\\*\r");
        platform::Sleep(kAfterAsteriskMs);
        PortPurgeInput();
    }
    if (found == kNoAnswer) {
        return kNoAnswer;
    }
    SendSelection(found);
    ShowAddress(found);
    return found;
}

FindResult FindSingleDrive() {
    const int result = SeekDrives();
    if (result > kHighestAddress) {
        const std::uint32_t answered = CurrentLinkTally().LastSeekAnswered;
        ReportFailure(ActivationFailure::kSeveralDrives, std::countr_zero(answered), answered);
        return FindResult::kSeveralDrives;
    }
    return result >= 0 ? FindResult::kOneDrive : FindResult::kNoDrive;
}

BootModeResult EnterBootMode() {
    PortPurgeOutput();
    PortWriteText(0, "\rPrompt 1\r");
    platform::Sleep(kBootTextGapMs);
    PortWriteText(0, "password qa736\r");
    platform::Sleep(kBootTextGapMs);
    PortWriteText(0, "Orrim\r");
    platform::Sleep(kBootTextGapMs);
    PortPurgeOutput();
    PortPurgeInput();
    PortWriteText(0, "\r");
    AnswerWait wait(kCommandModePollBudget);
    while (PortBytesWaiting() == 0 && !PortLost() && wait.Pause()) {
    }
    if (PortBytesWaiting() == 0) {
        return BootModeResult::kEntered;
    }
    PortWriteText(0, "Password\r");
    return BootModeResult::kStillInCommandMode;
}

SeekActivation ActivateBySeeking() {
    if (FindSingleDrive() == FindResult::kSeveralDrives) {
        return SeekActivation::kFoundSeveral;
    }
    if (PortLost()) {
        return SeekActivation::kCommandModeKept;
    }
    if (EnterBootMode() == BootModeResult::kEntered) {
        return SeekActivation::kActivated;
    }
    // After a seek that found one drive, that drive is the one that stayed in command mode.
    const std::uint32_t answered = CurrentLinkTally().LastSeekAnswered;
    ReportFailure(ActivationFailure::kCommandModeKept,
                  answered != 0 ? std::countr_zero(answered) : kNoAnswer);
    return SeekActivation::kCommandModeKept;
}

AddressActivation ActivateAtAddress(int address) {
    // An answer gives the address back, so only an address of 0 or more can count as answered.
    bool answered = TryAddress(address) >= 0;
    for (int retry = 0; !answered && retry < kAddressRetries && !PortLost(); ++retry) {
        platform::Sleep(kRetryGapMs);
        // The first probe of a retry selects the drive again and its outcome is not used: an
        // answer it gets stays waiting and counts for the second probe, which decides.
        TryAddress(address);
        answered = TryAddress(address) >= 0;
    }
    if (PortLost()) {
        return answered ? AddressActivation::kCommandModeKept : AddressActivation::kSilent;
    }
    if (!answered) {
        ReportFailure(ActivationFailure::kAddressSilent, address);
        platform::Sleep(kGiveUpPauseMs);
        return AddressActivation::kSilent;
    }
    if (EnterBootMode() == BootModeResult::kEntered) {
        return AddressActivation::kActivated;
    }
    ReportFailure(ActivationFailure::kCommandModeKept, address);
    return AddressActivation::kCommandModeKept;
}

}  // namespace vantor
