// SerialDevice stands in for the Win32 comm calls that the serial port layer is built on:
// one narrow interface, one backend per kind of device, chosen by the device address
// (device_address.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/clock.h"
#include "platform/result.h"

namespace vantor::platform {

// The line-settings record (the design's DCB). The port layer writes the four named fields and
// hands the rest back exactly as the device reported it.
struct LineSettings {
    std::uint32_t BaudRate = 9600;
    std::uint8_t ByteSize = 8;
    std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
    // Everything else of the device's settings, opaque to the port layer and kept as read.
    std::uint64_t Other = 0;
};

// Bits of the line error word that ClearError reports.
inline constexpr std::uint32_t kLineErrorRxOverflow = 0x01;  // receive queue overflowed
inline constexpr std::uint32_t kLineErrorOverrun = 0x02;
inline constexpr std::uint32_t kLineErrorParity = 0x04;
inline constexpr std::uint32_t kLineErrorFrame = 0x08;
// The receive line was seen in break since the previous report.
inline constexpr std::uint32_t kLineBreakFlag = 0x10;

// Bytes a transmitter holds once they are handed to it, as a 16550 UART's FIFO does.
inline constexpr std::size_t kTransmitFifoBytes = 16;

// Modem status lines that GetModemStatus reports, as GetCommModemStatus gives them: the lines
// that the far end drives.
inline constexpr std::uint32_t kModemCtsOn = 0x10;
inline constexpr std::uint32_t kModemDsrOn = 0x20;
inline constexpr std::uint32_t kModemRingOn = 0x40;
inline constexpr std::uint32_t kModemCdOn = 0x80;

// Modem control functions that SetModemControl takes, as EscapeCommFunction takes them.
inline constexpr std::uint32_t kSetRts = 3;
inline constexpr std::uint32_t kClearRts = 4;
inline constexpr std::uint32_t kSetDtr = 5;
inline constexpr std::uint32_t kClearDtr = 6;

// Purge flags, as the design's PurgeComm takes them.
inline constexpr std::uint32_t kPurgeTxClear = 4;
inline constexpr std::uint32_t kPurgeRxClear = 8;

// What a device knows of itself beyond the comm calls, for the link's waits and for the
// operator's messages.
struct DeviceCondition {
    // Null while the device works; once its far end is gone for good (a connection ended, an
    // adapter pulled out), the operator's text for it. Every later call fails at once.
    const char* lost = nullptr;
    // A network port's round trip as last estimated (RoundTripEstimate); 0 for a serial line.
    int round_trip_ms = 0;
    // How much later than on a serial line the drive's answers may reach this end now: the
    // round trip and its variation. 0 for a serial line.
    int answer_delay_ms = 0;
    // The fastest round trip seen; 0 for a serial line.
    int fastest_round_trip_ms = 0;
    // Known not to carry serial breaks to or from the drive (a pty, a server that never took
    // up break reports).
    bool carries_no_breaks = false;
};

inline constexpr char kLostNetworkPortText[] = "the connection to the network serial port was lost";
inline constexpr char kLostSerialDeviceText[] = "the serial device went away";

class SerialDevice {
  public:
    virtual ~SerialDevice() = default;

    // GetCommState: the device's complete current line settings.
    virtual bool GetSettings(LineSettings& settings) = 0;
    // SetCommState: makes the complete record the device's settings.
    virtual bool SetSettings(const LineSettings& settings) = 0;
    // SetupComm: sizes of the receive and transmit queues.
    virtual bool SetQueueSizes(std::uint32_t rx_bytes, std::uint32_t tx_bytes) = 0;
    // ReadFile: reads at most `max` received bytes; `got` tells how many. Never blocks for long.
    virtual bool Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) = 0;
    // WriteFile: sends the bytes in order; `written` tells how many were accepted. A write is
    // synchronous, as on the original platform: it returns once every byte but at most a
    // transmitter FIFO's worth (kTransmitFifoBytes) has gone out on the line, and what sits in
    // that FIFO goes out whatever follows (a purge or a close cannot take it back). The link's
    // poll budgets count from the end of a write, so a long packet must not still be queued
    // when the wait for its acknowledgement begins.
    virtual bool Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) = 0;
    // ClearCommError: reports and clears the line error word, and reports the number of
    // received bytes not yet read, in one call.
    virtual bool ClearError(std::uint32_t& errors, std::uint32_t& bytes_waiting) = 0;
    // PurgeComm: discards received bytes not yet read (kPurgeRxClear) and/or bytes not yet
    // sent (kPurgeTxClear).
    virtual bool Purge(std::uint32_t flags) = 0;
    // SetCommBreak and ClearCommBreak: hold the transmit line in break, and release it.
    virtual bool SetBreak() = 0;
    virtual bool ClearBreak() = 0;
    // GetCommModemStatus: the modem status lines (kModemCtsOn and so on). False for a device
    // without modem lines (the simulated line, a pty, a network port), which the link never asks;
    // a serial port server does, for its clients.
    virtual bool GetModemStatus(std::uint32_t& status) {
        status = 0;
        return false;
    }
    // EscapeCommFunction with kSetDtr, kClearDtr, kSetRts or kClearRts. False for a device
    // without modem lines.
    virtual bool SetModemControl(std::uint32_t /*function*/) { return false; }
    // CloseHandle. Further calls fail.
    virtual bool Close() = 0;
    // How the device stands; cheap enough to ask at every poll.
    virtual DeviceCondition Condition() const { return {}; }
    // A descriptor that poll() reports readable when the line has received something (bytes, a
    // break), so that a caller with nothing else to do can sleep until then; -1 for a device
    // without one (the simulated line, which only advances when asked).
    virtual int WaitableFd() const { return -1; }
    // True when AwaitInput ends as soon as something arrives, so that a waiter may hand it the
    // whole of its remaining time instead of looking every millisecond.
    virtual bool AwaitsInput() const { return false; }
    // Waits until something has arrived that a call would now report (received bytes, a break,
    // a network server's answer, the far end gone) or `ms` milliseconds have passed on the
    // process clock, whichever comes first, after sending the output held on this thread. What
    // arrived before the call and was not yet taken in ends the wait at once; what was taken in
    // (by ClearError, say) does not. A device that cannot watch its line only sleeps.
    virtual void AwaitInput(int ms) { Sleep(ms); }
    // A network port's fence: asks the server for an answer once it has taken everything sent
    // before, so that whatever the server received from the line until then is here when the
    // answer is. Returns the fence's number (from 1), or 0 for a device without fences (on a
    // serial line everything received is here at once) or whose server does not answer them.
    virtual std::uint64_t SendFence() { return 0; }
    // True once fence `number` (and every one before it) was answered.
    virtual bool FenceAnswered(std::uint64_t /*number*/) { return true; }
};

// A device just opened, or why it could not be opened.
using OpenedDevice = Result<std::unique_ptr<SerialDevice>>;

}  // namespace vantor::platform
