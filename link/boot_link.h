// The word-level boot-loader link: words high byte first, break resynchronisation, the init
// command that reads the boot loader's identification word, and the reset command.
#pragma once

#include <cstdint>

namespace vantor {

inline constexpr std::uint16_t kInitAckWord = 0x4E4F;
inline constexpr int kResyncPollBudget = 500;
inline constexpr int kResyncSettleMs = 300;
inline constexpr int kInitReplyWaitMs = 100;

void WriteWord(std::uint16_t value);
std::uint16_t ReadWord();
// 0 synchronised; -1 the drive did not answer the break; -2 the drive did not end its break.
int Resync();
// The IdentWord (0 to 65535); -1 no answer; -2 wrong acknowledgement; -3 wrong answer length.
int Identify();
void ResetDrive();

}  // namespace vantor
