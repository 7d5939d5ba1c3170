// The word-level boot-loader link: words high byte first, break resynchronisation, the init
// command that reads the boot loader's identification word, and the reset command. Every
// function works on the current port (serial_port.h) and reports its failures on the status
// line itself, once.
#pragma once

#include <cstdint>

namespace vantor {

inline constexpr std::uint16_t kInitAckWord = 0x4E4F;
inline constexpr int kResyncPollBudget = 500;
inline constexpr int kResyncSettleMs = 300;
inline constexpr int kInitReplyWaitMs = 100;

// What Resync returns.
enum ResyncResult : int {
    kResyncDone = 0,            // the drive answered the break with its own and ended it
    kResyncNoBreakAnswer = -1,  // the drive did not answer the break
    kResyncBreakNotEnded = -2,  // the drive did not end its break
};

// What Identify returns when it fails; on success it returns the IdentWord (0 to 65535).
inline constexpr int kIdentifyNoAnswer = -1;     // nothing arrived after the init frame
inline constexpr int kIdentifyWrongAck = -2;     // the reply did not begin with kInitAckWord
inline constexpr int kIdentifyWrongLength = -3;  // the reply was not 4 bytes long

// Sends `value` high byte first.
void WriteWord(std::uint16_t value);
// Reads two bytes already seen waiting, high byte first.
std::uint16_t ReadWord();
// Empties both queues, sends a break and waits, within kResyncPollBudget polls of 1 ms, for the
// drive's break to begin and to end; then lets the line settle kResyncSettleMs and empties
// both queues again.
ResyncResult Resync();
// Sends the init frame and reads the reply after kInitReplyWaitMs: the IdentWord, or one of the
// kIdentify... failures.
int Identify();
// Sends the reset frame; the drive does not answer it.
void ResetDrive();

}  // namespace vantor
