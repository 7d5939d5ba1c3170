// The simulated line and the drive(s) on its far end. The world is a pure function of time:
// every call from the host side first advances it to the process clock's now, so it behaves
// the same under the real clock (demos, the CLI) and the virtual clock (tests).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/serial_device.h"

namespace vantor::sim {

// How the simulated drive(s) behave; every field has an option of the device address
// "sim:OPTIONS" (see ParseSimOptions).
struct SimOptions {
    // Identification and addressing.
    std::uint16_t ident = 0x2083;       // ident=0x2083: the IdentWord of the init reply
    std::vector<int> addresses;         // address=N / addresses=3+7: drives in command mode;
                                        // empty: one drive already in boot-loader mode
    bool stay_in_command_mode = false;  // stay-in-command-mode: ignores the Orrim texts
    std::string password = "qa736";     // password=TEXT: what the drive accepts
    int prompt_length = 3;              // prompt-length=N: bytes of each command-mode answer

    // Breaks.
    bool answer_break = true;    // no-break-answer: never answers a break
    int ignored_breaks = 0;      // ignore-breaks=N: the first N breaks go unanswered
    int break_delay_ms = 2;      // break-delay=MS: from the end of the host's break
                                 // to the start of the drive's
    int break_length_ms = 10;    // break-ms=MS: length of the drive's break
    bool endless_break = false;  // endless-break: the drive's break never ends

    // The init reply.
    std::uint16_t init_ack = 0x4E4F;  // init-ack=0xXXXX: the acknowledgement word sent
    int init_reply_length = 4;        // init-length=N: bytes of the reply actually sent
                                      // (fewer: cut short; more: padded)
    int stray_bytes = 0;              // stray=N: bytes sent before each reply and ack
    int init_delay_ms = 2;            // init-delay=MS: from the frame's end to the reply

    // Packets.
    int ack_on_send = 1;                    // ack-on-send=N: only the N-th send of a packet is
                                            // acknowledged; earlier sends get silence
    bool refuse_first = false;              // refuse-first: the first send of each packet is
                                            // refused with 'NO' and a word
    std::optional<std::uint16_t> response;  // response=??: this response word for every packet
    std::uint16_t status = 0x0000;          // status=0x0080: the status word of every response
    bool no_response = false;               // no-response: acknowledges but never responds
    int ack_delay_ms = 1;                   // ack-delay=MS: from a packet's end to its ack
    int process_ms = 2;                     // process-ms=MS: from the ack to the response

    // Line faults.
    double noise = 0.0;      // noise=P: share of bytes corrupted or dropped
    std::uint64_t seed = 1;  // seed=N: draws the noise

    // The host's receive side: bytes reach the receive queue in bursts, as from a UART's
    // FIFO: when `fifo_trigger` bytes have gathered, or when the line has been quiet for
    // `fifo_timeout_chars` character times after the last one.
    int fifo_trigger = 14;       // fifo=N (1: every byte at once)
    int fifo_timeout_chars = 4;  // fifo-timeout=N
};

// Parses the comma-separated options that follow "sim:" ("" gives the defaults). On failure
// returns nothing and names the bad option in `error`.
std::optional<SimOptions> ParseSimOptions(const std::string& text, std::string* error);

// One thing that happened on the line, in time order.
struct LineEvent {
    enum class Kind {
        HostByte,     // a byte went out on the line from the host to the drive
        DriveByte,    // a byte went out on the line from the drive to the host
        HostBreak,    // the host's transmit line was in break from at_ns to end_ns
        DriveBreak,   // the drive's transmit line was in break from at_ns to end_ns
        HostPurgeTx,  // the host dropped `value` bytes that had not gone out yet
        HostPurgeRx,  // the host dropped `value` received bytes
    };
    Kind kind;
    std::int64_t at_ns;
    std::int64_t end_ns;  // breaks: when the break ended (-1 while it lasts); else at_ns
    int value;            // the byte, or a count
};

enum class DriveMode { CommandMode, BootLoader };

class SimWorld {
  public:
    explicit SimWorld(SimOptions options);
    ~SimWorld();
    SimWorld(const SimWorld&) = delete;
    SimWorld& operator=(const SimWorld&) = delete;

    const SimOptions& options() const;

    // Everything that went over the line so far, in time order (advances to now first).
    std::vector<LineEvent> Traffic();
    // The bytes that went out on the line from the host, in order, as sent (before noise).
    // A byte counts once it has begun; a write returns with up to kTransmitFifoBytes still in
    // the transmitter, so let a few character times pass before comparing.
    std::vector<std::uint8_t> HostBytes();
    // The bytes that went out on the line from the drive, in order, as sent (before noise).
    std::vector<std::uint8_t> DriveBytes();
    // Every packet the drive accepted (checked and acknowledged), each as its bytes from the
    // BOP word to the checksum word, in order of acceptance; a resent packet appears again.
    std::vector<std::vector<std::uint8_t>> AcceptedPackets();
    // How many reset frames the drive received.
    int ResetCount();
    // The mode of the drive at `address` (or of the first drive for -1); an address where
    // no drive is counts as command mode.
    DriveMode Mode(int address = -1);

    // Brings the world up to `now_ns`: everything due by then happens, in time order. The
    // world's time starts at its first call and never goes back; an earlier `now_ns` is a
    // no-op. SimulatedLine calls it with the process clock's now before every operation.
    void AdvanceTo(std::int64_t now_ns);

  private:
    struct State;
    std::unique_ptr<State> state_;
    friend class SimulatedLine;
};

// The host's serial device on a simulated line. Several lines may share one world only one
// after another (one is open at a time), so that a test can inspect the world after the port
// has been closed, or reopen the port on the same drive.
class SimulatedLine final : public platform::SerialDevice {
  public:
    explicit SimulatedLine(std::shared_ptr<SimWorld> world);
    ~SimulatedLine() override;

    bool GetSettings(platform::LineSettings& settings) override;
    bool SetSettings(const platform::LineSettings& settings) override;
    bool SetQueueSizes(std::uint32_t rx_bytes, std::uint32_t tx_bytes) override;
    bool Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) override;
    bool Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) override;
    bool ClearError(std::uint32_t& errors, std::uint32_t& bytes_waiting) override;
    bool Purge(std::uint32_t flags) override;
    bool SetBreak() override;
    bool ClearBreak() override;
    bool Close() override;

  private:
    std::shared_ptr<SimWorld> world_;
    bool open_ = true;
};

}  // namespace vantor::sim
