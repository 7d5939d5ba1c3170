// The telnet layer of a network serial port (RFC 854, RFC 1143, RFC 2217): the byte stream with
// its commands, option negotiation that cannot loop, and the serial port control commands. Both
// ends use it: the RFC 2217 device and the simulator's server.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vantor::platform::telnet {

inline constexpr std::uint8_t kSe = 240;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kIac = 255;

inline constexpr std::uint8_t kOptionBinary = 0;
inline constexpr std::uint8_t kOptionEcho = 1;
inline constexpr std::uint8_t kOptionSuppressGoAhead = 3;
inline constexpr std::uint8_t kOptionComPort = 44;

// Serial port control commands as the client sends them; the server answers each with the
// same command plus kServerCommandOffset.
inline constexpr std::uint8_t kComSignature = 0;
inline constexpr std::uint8_t kComSetBaudRate = 1;
inline constexpr std::uint8_t kComSetDataSize = 2;
inline constexpr std::uint8_t kComSetParity = 3;
inline constexpr std::uint8_t kComSetStopSize = 4;
inline constexpr std::uint8_t kComSetControl = 5;
inline constexpr std::uint8_t kComNotifyLineState = 6;
inline constexpr std::uint8_t kComNotifyModemState = 7;
inline constexpr std::uint8_t kComSetLineStateMask = 10;
inline constexpr std::uint8_t kComSetModemStateMask = 11;
inline constexpr std::uint8_t kComPurgeData = 12;
inline constexpr std::uint8_t kServerCommandOffset = 100;

// Values of SET-CONTROL.
inline constexpr std::uint8_t kControlNoFlowControl = 1;
inline constexpr std::uint8_t kControlBreakOn = 5;
inline constexpr std::uint8_t kControlBreakOff = 6;
// Bits of the line state.
inline constexpr std::uint8_t kLineStateOverrun = 0x02;
inline constexpr std::uint8_t kLineStateParity = 0x04;
inline constexpr std::uint8_t kLineStateFraming = 0x08;
inline constexpr std::uint8_t kLineStateBreak = 0x10;
// Values of PURGE-DATA: the server's buffer of bytes received from the serial line (on their
// way to the client), of bytes to transmit on it, or both.
inline constexpr std::uint8_t kPurgeServerReceive = 1;
inline constexpr std::uint8_t kPurgeServerTransmit = 2;
inline constexpr std::uint8_t kPurgeServerBoth = 3;

// Appends data bytes with every 0xFF doubled, as telnet carries them.
void AppendData(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& out);
// Appends IAC verb option.
void AppendNegotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);
// Appends IAC SB COM-PORT-OPTION command value IAC SE, with 0xFF doubled in the value.
void AppendComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value,
                          std::vector<std::uint8_t>& out);
// The value bytes of a 32-bit number, high byte first (baud rates).
std::vector<std::uint8_t> BigEndian32(std::uint32_t value);

// What the parser finds in the stream.
class Listener {
  public:
    virtual ~Listener() = default;
    virtual void OnData(std::uint8_t byte) = 0;
    // WILL, WONT, DO or DONT.
    virtual void OnNegotiation(std::uint8_t verb, std::uint8_t option) = 0;
    // The bytes between IAC SB and IAC SE, the option first, with doubled 0xFF undone.
    virtual void OnSubnegotiation(const std::vector<std::uint8_t>& body) = 0;
};

// Splits a received telnet stream into data, negotiations and subnegotiations. A command split
// across reads is held until the rest arrives.
class Parser {
  public:
    void Feed(const std::uint8_t* bytes, std::size_t count, Listener& listener);

  private:
    // A peer that never ends a subnegotiation must not fill the memory.
    static constexpr std::size_t kMaxSubnegotiationBytes = 64;
    void TakeSubnegotiationByte(std::uint8_t byte, Listener& listener);

    enum class State { Data, Command, Verb, Sub, SubCommand };
    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::vector<std::uint8_t> body_;
    bool body_overflowed_ = false;
};

// Option negotiation after RFC 1143, without its queue: a request is answered only when it
// changes the state, and an option this end does not support is refused once. That alone does
// not end every exchange: a request slipped in between two ends (DONT then DO) makes each end
// answer the other's answer as a fresh request, for ever. So each option may change state only
// kChangesPerOption times in each direction; later requests for it are not answered, and all
// the answers a connection can ever draw are bounded by kMaxReplyBytes.
class Negotiator {
  public:
    enum class State { No, WantYes, Yes };

    static constexpr int kChangesPerOption = 8;
    // Three bytes per answer, for each of 256 options in both directions.
    static constexpr std::size_t kMaxReplyBytes = 3 * 2 * 256 * kChangesPerOption;

    // `local`: the options this end will perform; `remote`: those it lets the peer perform.
    Negotiator(std::initializer_list<std::uint8_t> local,
               std::initializer_list<std::uint8_t> remote);

    // Asks for one supported option: WILL (this end performs it) or DO (the peer does).
    void Request(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);
    // Takes the peer's WILL, WONT, DO or DONT and appends the answer, if any.
    void Receive(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);

    State Local(std::uint8_t option) const { return local_[option]; }
    State Remote(std::uint8_t option) const { return remote_[option]; }

  private:
    void ReceiveWill(std::uint8_t option, std::vector<std::uint8_t>& out);
    void ReceiveWont(std::uint8_t option, std::vector<std::uint8_t>& out);
    void ReceiveDo(std::uint8_t option, std::vector<std::uint8_t>& out);
    void ReceiveDont(std::uint8_t option, std::vector<std::uint8_t>& out);
    // Counts one change of the option's state; false once it has used up its changes.
    static bool MayChange(std::array<std::uint8_t, 256>& changes, std::uint8_t option);

    std::array<State, 256> local_{};
    std::array<State, 256> remote_{};
    std::array<bool, 256> local_supported_{};
    std::array<bool, 256> remote_supported_{};
    std::array<bool, 256> refused_do_{};
    std::array<bool, 256> refused_will_{};
    std::array<std::uint8_t, 256> local_changes_{};
    std::array<std::uint8_t, 256> remote_changes_{};
};

}  // namespace vantor::platform::telnet
