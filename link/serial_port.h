// Byte-level access to one serial port in the drive's line format: the SerialPort object and
// the functions on the one current port of the process. The port has no time-outs: callers
// ask how many bytes are waiting, poll with 1 ms sleeps under their own bounds, and read only
// bytes they have seen waiting.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial/serial_device.h"

namespace vantor {

inline constexpr std::uint32_t kDriveQueueBytes = 2048;
inline constexpr int kBreakMs = 100;

class SerialPort {
  public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // On failure `error`, when given, says why.
    bool Open(const std::string& device_name, std::string* error = nullptr);
    bool ReadSettings();
    int ApplySettings();
    int SetBaudRate(std::uint32_t rate);
    int SetParity(std::uint8_t code);
    int SetByteSize(std::uint8_t bits);
    int SetStopBits(std::uint8_t code);
    int ReadByte();
    int WriteByte(int value);
    int WriteBuffer(const std::uint8_t* bytes, std::size_t count);
    int CloseDevice();

    platform::SerialDevice* device() { return device_.get(); }
    const platform::LineSettings* settings() const { return settings_.get(); }

  private:
    std::unique_ptr<platform::SerialDevice> device_;
    std::unique_ptr<platform::LineSettings> settings_;
};

int OpenPort(char port_char, std::uint32_t baud_rate, std::uint8_t parity, std::uint8_t data_bits,
             std::uint8_t stop_bits, std::uint32_t rx_queue, std::uint32_t tx_queue);
int OpenDrivePort(std::uint32_t baud_rate, char port_char);
void ClosePort();
int PortWriteText(std::size_t length, const char* text);
int PortWriteByte(int value);
int PortReadByte();
int PortBytesWaiting();
std::uint32_t PortLineErrors();
int PortPurgeInput();
int PortPurgeOutput();
int PortSendBreak();

// The current port, or nullptr when none is open.
SerialPort* CurrentPort();

// True once the current port's far end is gone (a network connection ended, an adapter pulled
// out): every wait for the drive ends at once then, since nothing more can come.
bool PortLost();
// How much later than on a serial line the drive's answers arrive on the current port: a
// network port's round trip, 0 for a serial line. Every window in which the link waits for the
// drive's answer is stretched by it.
int PortAnswerDelayMs();

// What the last port that the job tried to open told of itself, kept after it closed so that a
// front end can say why a job ended.
struct PortReport {
    std::string open_error;          // why the open failed; empty when it opened
    std::string lost;                // the operator's text for a far end that went away, or empty
    bool carries_no_breaks = false;  // known not to carry serial breaks (a pty, say)
};
const PortReport& LastPortReport();

}  // namespace vantor
