// The download of one image file to the boot loader, and the packet exchange under it.
#pragma once

#include <cstdint>
#include <string>

#include "image/image_reader.h"

namespace vantor {

inline constexpr std::uint16_t kAckWord = 0x616B;     // 'ak'
inline constexpr std::uint16_t kRefuseWord = 0x4E4F;  // 'NO'
inline constexpr int kUnexpectedWords = 0x7000;
inline constexpr int kNothingArrived = 0x8000;
inline constexpr int kUnknownResponse = 0x9000;
inline constexpr int kProtectedMemory = 128;
inline constexpr int kResponseError = -6;
inline constexpr int kMaxSends = 3;
inline constexpr int kAckPollBudget = 5000;
inline constexpr int kResponsePollBudget = 3000;
inline constexpr int kReadDataExtraBudget = 5000;

int DownloadImage(const std::string& image_path, std::uint16_t ident_word);
void SendPacket(const Packet& packet);
int WaitAck(int budget);
int ReadResponse(int budget);

}  // namespace vantor
