// One simulated drive: its text command mode and its boot loader. The drive only sees bytes
// and breaks arriving from the line and answers through a DrivePort, which the world carries
// out in time order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/sim_world.h"

namespace vantor::sim {

// What a drive can do on its side of the line.
class DrivePort {
  public:
    virtual ~DrivePort() = default;
    // Runs `action` when the world's time reaches `at_ns`.
    virtual void Schedule(std::int64_t at_ns, std::function<void()> action) = 0;
    // Queues bytes on the drive's transmit line, ready to go out now.
    virtual void Transmit(const std::vector<std::uint8_t>& bytes) = 0;
    // Holds the drive's transmit line in break from now on for `length_ns` (negative: for ever).
    virtual void SendBreak(std::int64_t length_ns) = 0;
    // Records a packet that the drive checked and acknowledged.
    virtual void AcceptPacket(const std::vector<std::uint8_t>& packet) = 0;
    // Records a reset frame.
    virtual void CountReset() = 0;
};

// The words of the boot loader's dialogue.
inline constexpr std::uint16_t kAckWord = 0x616B;      // 'ak'
inline constexpr std::uint16_t kRefuseWord = 0x4E4F;   // 'NO'
inline constexpr std::uint16_t kInvalidWord = 0x3F3F;  // '??'
inline constexpr std::uint16_t kReadWord = 0x5244;     // 'RD'
inline constexpr std::uint16_t kRefusedFirstSend = 0x0000;
inline constexpr std::uint16_t kRefusedChecksum = 0x0001;
inline constexpr std::uint16_t kRefusedLength = 0x0002;
inline constexpr std::size_t kMaxPacketPayload = 16398;

class SimDrive {
  public:
    // `address` is the command-mode address, or -1 for a drive without one (already in its
    // boot loader).
    SimDrive(const SimOptions& options, int address, DrivePort& port);
    SimDrive(const SimDrive&) = delete;
    SimDrive& operator=(const SimDrive&) = delete;

    int address() const { return address_; }
    DriveMode mode() const { return mode_; }

    void ReceiveByte(std::uint8_t byte, std::int64_t now_ns);
    // The host's break has ended (it lasted at least one character time).
    void ReceiveBreak(std::int64_t now_ns);

  private:
    enum class FrameStep { Hunt, SecondBopByte, Body };

    // Command mode.
    void ReceiveTextByte(std::uint8_t byte, std::int64_t now_ns);
    void HandleText(const std::string& text, std::int64_t now_ns);
    bool HandleSelection(const std::string& text);
    bool AdvanceEntry(const std::string& text);
    void EnterBootLoader();
    void EnterCommandMode();

    // Boot loader.
    void ReceiveFrameByte(std::uint8_t byte, std::int64_t now_ns);
    void HandleFrame(std::int64_t now_ns);
    void HandlePacket(std::int64_t now_ns);
    void Refuse(std::uint16_t reason, std::int64_t now_ns);
    void Acknowledge(std::int64_t now_ns);
    std::vector<std::uint8_t> Response() const;
    std::uint16_t ResponseWord() const;
    void ResetFrameParser();
    // The drive restarts as after power-on: what it was receiving and answering is lost.
    void ResetItself();

    // Sends `bytes`, after the stray bytes, at `at_ns` unless a break comes first.
    void AnswerAt(std::int64_t at_ns, std::vector<std::uint8_t> bytes);
    // Sends `bytes` at `at_ns` unless a break or a change of mode comes first.
    void SendAt(std::int64_t at_ns, std::vector<std::uint8_t> bytes);

    const SimOptions& options_;
    const int address_;
    DrivePort& port_;
    DriveMode mode_;

    std::string text_;
    bool selected_ = false;
    int entry_stage_ = 0;

    FrameStep step_ = FrameStep::Hunt;
    std::vector<std::uint8_t> frame_;
    std::size_t frame_length_ = 0;  // bytes of the whole frame, once its length word is in
    std::vector<std::uint8_t> last_packet_;
    int send_count_ = 0;
    int breaks_seen_ = 0;      // in boot-loader mode
    int frames_received_ = 0;  // boot-loader frames whose length word came in
    // Answers scheduled before a break or a reset carry an older generation and are dropped.
    std::uint64_t generation_ = 0;
};

}  // namespace vantor::sim
