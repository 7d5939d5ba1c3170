// The word-level boot-loader link: words high byte first, break resynchronisation, the init
// command that reads the boot loader's identification word, and the reset command. Every
// function works on the current port (serial_port.h) and reports its failures on the status
// line itself, once.
#pragma once

#include <cstdint>
#include <optional>

namespace vantor {

inline constexpr std::uint16_t kInitAckWord = 0x4E4F;
inline constexpr int kResyncPollBudget = 500;
inline constexpr int kResyncSettleMs = 300;
inline constexpr int kInitReplyWaitMs = 100;

// What Resync returns, with the design's values.
enum class ResyncResult : int {
    kDone = 0,            // the drive answered the break with its own and ended it
    kNoBreakAnswer = -1,  // the drive did not answer the break
    kBreakNotEnded = -2,  // the drive did not end its break
};

// Why Identify found no IdentWord, with the design's values (which lie below every IdentWord).
enum class IdentifyFailure : int {
    kNoAnswer = -1,     // nothing arrived after the init frame
    kWrongAck = -2,     // the reply did not begin with kInitAckWord
    kWrongLength = -3,  // the reply was not 4 bytes long
};

// What Identify returns: the drive's IdentWord, or why there is none. The design returns both
// in one int; DesignCode gives that number.
class IdentifyResult {
  public:
    constexpr IdentifyResult(std::uint16_t ident_word) : ident_word_(ident_word) {}
    constexpr IdentifyResult(IdentifyFailure failure) : failure_(failure) {}

    constexpr bool Identified() const { return !failure_.has_value(); }
    // The IdentWord; only when Identified().
    constexpr std::uint16_t IdentWord() const { return ident_word_; }
    // Why there is no IdentWord; only when not Identified().
    constexpr IdentifyFailure Failure() const { return *failure_; }

    friend constexpr bool operator==(const IdentifyResult&, const IdentifyResult&) = default;

  private:
    std::uint16_t ident_word_ = 0;
    std::optional<IdentifyFailure> failure_;
};

// The design's numbers: Resync's 0/-1/-2, Identify's IdentWord (0 to 65535) or -1/-2/-3.
constexpr int DesignCode(ResyncResult result) {
    return static_cast<int>(result);
}
constexpr int DesignCode(IdentifyResult result) {
    return result.Identified() ? result.IdentWord() : static_cast<int>(result.Failure());
}

// Sends `value` high byte first.
void WriteWord(std::uint16_t value);
// Reads two bytes already seen waiting, high byte first.
std::uint16_t ReadWord();
// Empties both queues, sends a break and waits, within kResyncPollBudget polls of 1 ms, for the
// drive's break to begin and to end; then lets the line settle kResyncSettleMs and empties
// both queues again.
ResyncResult Resync();
// Sends the init frame and reads the reply after kInitReplyWaitMs: the IdentWord, or why the
// reply did not give one.
IdentifyResult Identify();
// Sends the reset frame; the drive does not answer it.
void ResetDrive();

}  // namespace vantor
