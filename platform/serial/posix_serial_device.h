// A serial device on this machine (a USB adapter, an on-board UART), reached through termios.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "platform/serial/serial_device.h"

namespace vantor::platform {

// Undoes the marking that the terminal layer adds to received bytes when it is asked to mark
// breaks (PARMRK without ISTRIP): FF FF is the data byte 0xFF, FF 00 00 a break, FF 00 c the data
// byte c received with a parity or framing error. A sequence split across reads is held until
// the rest arrives.
class ParmrkDecoder {
  public:
    // Appends the data bytes of `count` received bytes to `data` and returns how many breaks
    // they held.
    int Feed(const std::uint8_t* bytes, std::size_t count, std::deque<std::uint8_t>& data);
    // Forgets a sequence begun but not finished (after a purge).
    void Reset() { state_ = State::Plain; }

  private:
    enum class State { Plain, SawMark, SawMarkZero };
    State state_ = State::Plain;
};

// Opens the serial device at `path` (for example "/dev/ttyUSB0") exclusively, in raw 8N1 with
// breaks marked; or says why it cannot.
OpenedDevice OpenPosixSerialDevice(const std::string& path);

// Another process that has the device at `path` open, looked for through /proc/*/fd before the
// device is opened: the reason the device is in use, naming the holder's process ID and
// program; nothing when none is seen. Only a device that may be a terminal is looked for. This
// process and its ancestors do not count, and other users' processes cannot be seen without
// privilege; nor does the far end of a pseudo-terminal, a process that holds its master side as
// well (socat, a simulator): that is the line itself, not a program competing for it.
std::optional<std::string> FindOtherHolder(const std::string& path);

// Whether `path` names the terminal side of a pseudo-terminal (/dev/pts/N), which passes bytes
// but never a break.
bool IsPseudoTerminal(const std::string& path);

}  // namespace vantor::platform
