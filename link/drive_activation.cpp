#include "link/drive_activation.h"

#include <string>

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
constexpr int kHighestAddress = 31;

void SendSelection(int address) {
    const char selection[] = {'\\', AddressCharacter(address), '\r', '\0'};
    PortWriteText(0, selection);
}

void ShowAddress(int address) {
    platform::Window().SetText(Display::AddressLabel, std::string(1, AddressCharacter(address)));
}

// Polls for an answer to "PROMPT 1\r"; the drive counts as answering when more than two
// bytes are waiting afterwards. Bytes that were waiting before count too. The poll ends early
// only once the verdict is reached: ending it at two bytes, as the first design did, judges
// an answer that arrives a byte at a time (a USB adapter in low-latency mode) before its third
// byte is in, misses the drive and credits its answer to the next address.
// On a network port the window is longer by the round trip.
bool ProbeAnswered() {
    const int budget = kProbePollBudget + PortAnswerDelayMs();
    for (int polls = 0; PortBytesWaiting() < kProbeAnswerBytes && polls < budget && !PortLost();
         ++polls) {
        platform::Sleep(1);
    }
    return PortBytesWaiting() >= kProbeAnswerBytes;
}

// Sends the selection for `address`, then the prompt command, and judges the answer.
bool Probe(int address) {
    SendSelection(address);
    platform::Sleep(kSelectToPromptMs);
    PortWriteText(0, "PROMPT 1\r");
    return ProbeAnswered();
}

}  // namespace

char AddressCharacter(int address) {
    return static_cast<char>(address < 10 ? address + 48 : address + 55);
}

int TryAddress(int address) {
    ReportStatus("Trying to activate drive...", 0);
    if (!Probe(address)) {
        return -1;
    }
    ShowAddress(address);
    return address;
}

int SeekDrives() {
    ReportStatus("Seeking drives...", 0);
    platform::Window().SetProgressRange(0, kHighestAddress);
    int found = -1;
    // A port whose far end went away ends the seek: nothing can answer any more.
    for (int address = 0; address <= kHighestAddress && !PortLost(); ++address) {
        SendSelection(address);
        platform::Sleep(kSelectToPromptMs);
        PortWriteText(0, "PROMPT 1\r");
        platform::Window().SetProgressPos(address);
        if (!ProbeAnswered()) {
            continue;
        }
        if (found >= 0) {
            return 255;
        }
        found = address;
        ShowAddress(address);
        PortWriteText(0, "\\*\r");
        platform::Sleep(kAfterAsteriskMs);
        PortPurgeInput();
    }
    if (found < 0) {
        return -1;
    }
    SendSelection(found);
    ShowAddress(found);
    return found;
}

int FindSingleDrive() {
    const int result = SeekDrives();
    if (result > kHighestAddress) {
        ReportStatus(" Error: Detected multiple drives", 0);
        return -1;
    }
    return result >= 0 ? 1 : 0;
}

int EnterBootMode() {
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
    const int budget = kCommandModePollBudget + PortAnswerDelayMs();
    for (int polls = 0; PortBytesWaiting() == 0 && polls < budget && !PortLost(); ++polls) {
        platform::Sleep(1);
    }
    if (PortBytesWaiting() == 0) {
        return 0;
    }
    PortWriteText(0, "Password\r");
    return 1;
}

int ActivateBySeeking() {
    if (FindSingleDrive() == -1) {
        return 0;
    }
    if (PortLost()) {
        return -1;
    }
    if (EnterBootMode() == 0) {
        return 1;
    }
    ReportStatus("Failed to enable Orrim", 0);
    return -1;
}

int ActivateAtAddress(int address) {
    bool answered = TryAddress(address) >= 0;
    for (int retry = 0; !answered && retry < kAddressRetries && !PortLost(); ++retry) {
        platform::Sleep(kRetryGapMs);
        TryAddress(address);
        answered = TryAddress(address) >= 0;
    }
    if (PortLost()) {
        return answered ? -1 : 0;
    }
    if (!answered) {
        ReportStatus("Failed to activate Drive at specific address", 0);
        platform::Sleep(kGiveUpPauseMs);
        return 0;
    }
    if (EnterBootMode() == 0) {
        return 1;
    }
    ReportStatus("Failed to enable Orrim", 0);
    return -1;
}

}  // namespace vantor
