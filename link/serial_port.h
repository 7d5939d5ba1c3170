// Byte-level access to one serial port in the drive's line format: the SerialPort object and
// the functions on the one current port of the process. The port has no time-outs: callers
// ask how many bytes are waiting, poll with 1 ms sleeps under their own bounds, and read only
// bytes they have seen waiting.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial/port_map.h"
#include "platform/serial/serial_device.h"

namespace vantor {

inline constexpr std::uint32_t kDriveQueueBytes = 2048;
inline constexpr int kBreakMs = 100;

// What the port's operations return, with the design's values. Each operation says which of
// them it gives; several give kDone whatever the device answers, as the design does.
enum class PortResult : int {
    kFailed = 0,  // not done: the device refused, or no port is open
    kDone = 1,
};

// What PortSendBreak returns, with the design's values.
enum class BreakResult : int {
    kSent = 1,      // the line was held in break for kBreakMs and released
    kRefused = -1,  // the device refused to start the break (or no port is open); no wait
};

// The design's numbers for the port's results.
constexpr int DesignCode(PortResult result) {
    return static_cast<int>(result);
}
constexpr int DesignCode(BreakResult result) {
    return static_cast<int>(result);
}

class SerialPort {
  public:
    SerialPort() = default;
    // Closes the device if it is still open.
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the device by name (OpenSerialDevice), a port name through `ports`, and reads its
    // settings into the settings record; or says why the device cannot be opened (no settings
    // record then).
    Result<void> Open(const std::string& device_name, const platform::PortMap& ports);
    // Fills the settings record from the device; the device's verdict.
    bool ReadSettings();
    // Makes the settings record the device's settings. Always kDone: the device's verdict
    // is not looked at.
    PortResult ApplySettings();
    // Each writes one field of the settings record, then ApplySettings; always kDone.
    PortResult SetBaudRate(std::uint32_t rate);
    PortResult SetParity(std::uint8_t code);  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    PortResult SetByteSize(std::uint8_t bits);
    PortResult SetStopBits(std::uint8_t code);  // 0 one, 1 one and a half, 2 two
    // The next received byte (0 to 255). Called only for a byte seen waiting; a device that
    // lost it gives 0 after at most a second's wait.
    int ReadByte();
    // Sends the low 8 bits of `value`. Always kDone: the device's verdict is not looked at.
    PortResult WriteByte(int value);
    // Sends `count` bytes in order; the number the device reports written, 0 when it failed.
    int WriteBuffer(const std::uint8_t* bytes, std::size_t count);
    // Closes the device: kDone when the device closed it, else kFailed.
    PortResult CloseDevice();

    platform::SerialDevice* device() { return device_.get(); }
    const platform::LineSettings* settings() const { return settings_.get(); }

  private:
    std::unique_ptr<platform::SerialDevice> device_;
    std::unique_ptr<platform::LineSettings> settings_;
};

// What a port told of itself, so that a front end can say why a job ended: filled when the
// port is opened and when it is closed, into the job's record.
struct PortReport {
    std::string open_error;          // why the open failed; empty when it opened
    std::string lost;                // the operator's text for a far end that went away, or empty
    bool carries_no_breaks = false;  // known not to carry serial breaks (a pty, say)
};

// Opens "COM" + `port_char`, resolved through `ports`, as the current port with the given line
// format and queue sizes (a port left current from before is closed first): kDone, or kFailed
// with no current port. `report`, when given, starts afresh and says why an open failed.
PortResult OpenPort(char port_char, std::uint32_t baud_rate, std::uint8_t parity,
                    std::uint8_t data_bits, std::uint8_t stop_bits, std::uint32_t rx_queue,
                    std::uint32_t tx_queue, const platform::PortMap& ports,
                    PortReport* report = nullptr);
// OpenPort in the drive's format (8N1, kDriveQueueBytes both ways): kDone, or kFailed
// after "Error : Failed to initialize COM port" on the status line.
PortResult OpenDrivePort(std::uint32_t baud_rate, char port_char, const platform::PortMap& ports,
                         PortReport* report = nullptr);
// Closes and forgets the current port, if any; `report`, when given, gets what the port told of
// itself (lost, cannot carry breaks) before it closed.
void ClosePort(PortReport* report = nullptr);

// The functions below work on the current port; without one they do nothing and return
// kFailed, 0 or kRefused as said (PortWriteByte: kDone).

// Sends the first `length` bytes of `text` (all of it up to its terminating zero when `length`
// is 0, the zero not sent); the number of bytes written.
int PortWriteText(std::size_t length, const char* text);
// WriteByte on the current port: always kDone.
PortResult PortWriteByte(int value);
// ReadByte on the current port: the byte, 0 to 255.
int PortReadByte();
// The number of received bytes not yet read. The design's ClearCommError reports these and
// clears the line error word in one call, so this also clears the word: a break that the
// device flagged before this call is no longer reported by PortLineErrors afterwards.
int PortBytesWaiting();
// The line error word (bits of serial_device.h, kLineBreakFlag among them), which this
// clears; 0 when no port is open.
std::uint32_t PortLineErrors();
// Discard the received bytes not yet read, and the bytes not yet sent: the device's verdict.
PortResult PortPurgeInput();
PortResult PortPurgeOutput();
// Holds the transmit line in break for kBreakMs, then releases it.
BreakResult PortSendBreak();

// The current port, or nullptr when none is open.
SerialPort* CurrentPort();

// True once the current port's far end is gone (a network connection ended, an adapter pulled
// out): every wait for the drive ends at once then, since nothing more can come.
bool PortLost();
// True when the current port is known not to carry serial breaks (a pseudo terminal, a network
// server that did not take up break reports): the drive's boot loader cannot be resynchronised
// through it.
bool PortCarriesNoBreaks();
// The status text for a job that ends before the drive is touched because its port cannot
// carry breaks.
inline constexpr char kNoBreaksStatusText[] =
    "Resync Failure:  this port cannot carry serial breaks";
// How much later than on a serial line the drive's answers may arrive on the current port: for a
// network port its round trip as estimated now, with room for its variation (at least 10 ms
// more, at most a second in all); 0 for a serial line. Every window in which the link waits for
// the drive's answer is stretched by it.
int PortAnswerDelayMs();

}  // namespace vantor
