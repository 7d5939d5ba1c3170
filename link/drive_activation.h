// Drive discovery and activation in the drive's text command mode: probing addresses, and
// switching the drive into its boot-loader mode with the prompt, the password and Orrim. Every
// function works on the current port (serial_port.h), shows its progress on the window
// (status line, AddressLabel, the progress bar) and never closes the port. The link tally
// keeps the addresses that answered the last seek and the job's first activation failure.
#pragma once

#include "link/link_tally.h"

namespace vantor {

// Command-mode addresses are 0 to kHighestAddress; -1 stands for "none chosen".
inline constexpr int kHighestAddress = 31;

// What TryAddress and SeekDrives return when no single address answered; otherwise they
// return the address.
inline constexpr int kNoAnswer = -1;          // no address answered the probe
inline constexpr int kSeveralAnswered = 255;  // SeekDrives: a second address answered

// What FindSingleDrive returns, with the design's values.
enum class FindResult : int {
    kOneDrive = 1,        // exactly one drive answered; it is selected
    kNoDrive = 0,         // none answered (no message)
    kSeveralDrives = -1,  // after " Error: Detected multiple drives" on the status line
};

// What EnterBootMode returns, with the design's values.
enum class BootModeResult : int {
    kEntered = 0,             // the drive stayed silent after the lone carriage return
    kStillInCommandMode = 1,  // the drive still answered; "Password\r" was sent
};

// What ActivateBySeeking returns, with the design's values.
enum class SeekActivation : int {
    kActivated = 1,         // boot-loader mode entered, also when no drive answered the seek
    kFoundSeveral = 0,      // several drives answered the seek
    kCommandModeKept = -1,  // the drive did not leave command mode ("Failed to enable Orrim")
};

// What ActivateAtAddress returns, with the design's values.
enum class AddressActivation : int {
    kActivated = 1,         // the address answered and boot-loader mode was entered
    kSilent = 0,            // the address never answered (after its message and a pause)
    kCommandModeKept = -1,  // the drive did not leave command mode ("Failed to enable Orrim")
};

// The design's numbers for the activation's results.
constexpr int DesignCode(FindResult result) {
    return static_cast<int>(result);
}
constexpr int DesignCode(BootModeResult result) {
    return static_cast<int>(result);
}
constexpr int DesignCode(SeekActivation result) {
    return static_cast<int>(result);
}
constexpr int DesignCode(AddressActivation result) {
    return static_cast<int>(result);
}

// The status text with which the activation reports `failure` ("" for none).
const char* ActivationFailureText(ActivationFailure failure);

// The character that stands for a command-mode address: "0" to "9" for 0 to 9, then "A" to
// "V" for 10 to 31 (and "/" for -1, by the same arithmetic).
char AddressCharacter(int address);

// Selects `address` and sends "PROMPT 1\r": the address when it answered (and AddressLabel
// shows it), else kNoAnswer.
int TryAddress(int address);
// Probes every address from 0 to kHighestAddress: the one address that answered (selected
// again at the end), kSeveralAnswered as soon as a second one answers, or kNoAnswer.
int SeekDrives();
// SeekDrives, with the message for several drives.
FindResult FindSingleDrive();
// Sends the prompt, the password and "Orrim\r", then judges by a lone carriage return
// whether the drive left its command mode.
BootModeResult EnterBootMode();
// FindSingleDrive, then EnterBootMode unless several drives answered.
SeekActivation ActivateBySeeking();
// TryAddress with up to three retries, then EnterBootMode once the address answered.
AddressActivation ActivateAtAddress(int address);

}  // namespace vantor
