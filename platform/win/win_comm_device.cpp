// The Windows comm backend: a SerialDevice over the Win32 comm calls of the design, on the
// ports \\.\COM1 to \\.\COM255 (the \\.\ form is what opens COM10 and above).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/program_options.h"
#include "platform/serial/native_serial_device.h"
#include "platform/win/system_message.h"
#include "platform/win/win_comm_calls.h"
#include "platform/win/wine_port.h"

namespace vantor::platform {

HANDLE WinCommCalls::CreateFileA(const char* name) {
    return ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}
BOOL WinCommCalls::GetCommState(HANDLE port, DCB* dcb) {
    dcb->DCBlength = sizeof(DCB);
    return ::GetCommState(port, dcb);
}
BOOL WinCommCalls::SetCommState(HANDLE port, DCB* dcb) {
    return ::SetCommState(port, dcb);
}
BOOL WinCommCalls::SetupComm(HANDLE port, DWORD rx_bytes, DWORD tx_bytes) {
    return ::SetupComm(port, rx_bytes, tx_bytes);
}
BOOL WinCommCalls::ReadFile(HANDLE port, void* buffer, DWORD count, DWORD* got) {
    return ::ReadFile(port, buffer, count, got, nullptr);
}
BOOL WinCommCalls::WriteFile(HANDLE port, const void* bytes, DWORD count, DWORD* written) {
    return ::WriteFile(port, bytes, count, written, nullptr);
}
BOOL WinCommCalls::ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) {
    return ::ClearCommError(port, errors, status);
}
BOOL WinCommCalls::PurgeComm(HANDLE port, DWORD flags) {
    return ::PurgeComm(port, flags);
}
BOOL WinCommCalls::SetCommBreak(HANDLE port) {
    return ::SetCommBreak(port);
}
BOOL WinCommCalls::ClearCommBreak(HANDLE port) {
    return ::ClearCommBreak(port);
}
BOOL WinCommCalls::CloseHandle(HANDLE port) {
    return ::CloseHandle(port);
}

namespace {

WinCommCalls g_plain_calls;
std::atomic<WinCommCalls*> g_calls{&g_plain_calls};

constexpr const char* kDevicePrefix = "\\\\.\\";

// The line error word's bits are the comm error word's own (CE_RXOVER, CE_OVERRUN,
// CE_RXPARITY, CE_FRAME, CE_BREAK); the rest of the comm word (CE_TXFULL and the printer
// bits) is not a line error.
constexpr DWORD kLineErrorBits = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;
static_assert(CE_RXOVER == kLineErrorRxOverflow && CE_OVERRUN == kLineErrorOverrun &&
              CE_RXPARITY == kLineErrorParity && CE_FRAME == kLineErrorFrame &&
              CE_BREAK == kLineBreakFlag);

// How long a write may take beyond the line time of its bytes before it gives up: a port
// held by flow control or a stuck adapter must not hold the job forever.
constexpr int kWriteSlackMs = 1000;

// "COM1" to "COM255" without the device prefix.
bool IsCommPortName(const std::string& name) {
    return name.size() >= 4 && name.size() <= 6 && name.compare(0, 3, "COM") == 0 &&
           name[3] != '0' && ParseWhole(std::string_view(name).substr(3), 1, 255).has_value();
}

// What the comm calls answer once the port itself is gone (a USB adapter pulled out, a
// driver that stopped the device): every later call fails too, so the port is lost for good.
bool IsGoneError(DWORD error) {
    switch (error) {
        case ERROR_OPERATION_ABORTED:
        case ERROR_BAD_COMMAND:
        case ERROR_ACCESS_DENIED:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
            return true;
        default:
            return false;
    }
}

class WinCommDevice final : public SerialDevice {
  public:
    // `pty`: the port is known to be a pseudo terminal (Wine's mapping says so).
    WinCommDevice(HANDLE port, bool pty) : port_(port), pty_(pty) {}
    ~WinCommDevice() override { Close(); }

    bool GetSettings(LineSettings& settings) override {
        DCB dcb{};
        if (!Usable() || !Done(CommCalls().GetCommState(port_, &dcb))) {
            return false;
        }
        settings.BaudRate = dcb.BaudRate;
        settings.ByteSize = dcb.ByteSize;
        settings.Parity = dcb.Parity;
        settings.StopBits = dcb.StopBits;
        // The rest of the record (flow control, special characters) stays with the device.
        settings.Other = 0;
        other_dcb_ = dcb;
        return true;
    }

    bool SetSettings(const LineSettings& settings) override {
        if (!Usable()) {
            return false;
        }
        DCB dcb = other_dcb_;
        dcb.DCBlength = sizeof(DCB);
        dcb.BaudRate = settings.BaudRate;
        dcb.ByteSize = settings.ByteSize;
        dcb.Parity = settings.Parity;
        dcb.StopBits = settings.StopBits;
        dcb.fParity = settings.Parity != NOPARITY;
        if (!Done(CommCalls().SetCommState(port_, &dcb))) {
            return false;
        }
        baud_ = settings.BaudRate;
        return true;
    }

    bool SetQueueSizes(std::uint32_t rx_bytes, std::uint32_t tx_bytes) override {
        return Usable() && Done(CommCalls().SetupComm(port_, rx_bytes, tx_bytes));
    }

    bool Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) override {
        got = 0;
        // Only what has arrived is asked for, so that the read never waits whatever the
        // port's timeouts are.
        COMSTAT status{};
        if (!Status(status)) {
            return false;
        }
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(max, status.cbInQue));
        if (want == 0) {
            return true;
        }
        DWORD read = 0;
        if (!Done(CommCalls().ReadFile(port_, buffer, want, &read))) {
            return false;
        }
        got = read;
        return true;
    }

    bool Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) override {
        written = 0;
        if (!Usable()) {
            return false;
        }
        const auto line_ms = static_cast<std::int64_t>(count) * 10 * 1000 / std::max(baud_, 1u);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(line_ms + kWriteSlackMs);
        while (written < count) {
            DWORD sent = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count - written, 65536));
            if (!Done(CommCalls().WriteFile(port_, bytes + written, chunk, &sent))) {
                return false;
            }
            written += sent;
            if (written < count && std::chrono::steady_clock::now() > deadline) {
                return false;
            }
        }
        // Synchronous as on the original UART: back once all but a FIFO's worth is out.
        for (;;) {
            COMSTAT status{};
            if (!Status(status)) {
                return false;
            }
            if (status.cbOutQue <= kTransmitFifoBytes) {
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            ::Sleep(1);
        }
    }

    bool ClearError(std::uint32_t& errors, std::uint32_t& bytes_waiting) override {
        errors = 0;
        bytes_waiting = 0;
        COMSTAT status{};
        if (!Status(status)) {
            return false;
        }
        errors = pending_errors_;
        pending_errors_ = 0;
        bytes_waiting = status.cbInQue;
        return true;
    }

    bool Purge(std::uint32_t flags) override {
        DWORD purge = 0;
        if ((flags & kPurgeRxClear) != 0) {
            purge |= PURGE_RXCLEAR;
        }
        if ((flags & kPurgeTxClear) != 0) {
            purge |= PURGE_TXCLEAR;
        }
        return Usable() && Done(CommCalls().PurgeComm(port_, purge));
    }

    bool SetBreak() override { return Usable() && Done(CommCalls().SetCommBreak(port_)); }
    bool ClearBreak() override { return Usable() && Done(CommCalls().ClearCommBreak(port_)); }

    bool Close() override {
        if (!Open()) {
            return false;
        }
        const bool closed = CommCalls().CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
        return closed;
    }

    DeviceCondition Condition() const override {
        DeviceCondition condition;
        condition.lost = lost_ ? kLostSerialDeviceText : nullptr;
        condition.carries_no_breaks = pty_;
        return condition;
    }

    // Puts the port in raw 8N1 without flow control, keeping its rate.
    Result<void> MakeRaw() {
        DCB dcb{};
        if (!CommCalls().GetCommState(port_, &dcb)) {
            return Failure{SystemMessage(::GetLastError())};
        }
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fAbortOnError = FALSE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        if (!CommCalls().SetCommState(port_, &dcb)) {
            return Failure{SystemMessage(::GetLastError())};
        }
        other_dcb_ = dcb;
        baud_ = dcb.BaudRate;
        return {};
    }

  private:
    bool Open() const { return port_ != INVALID_HANDLE_VALUE; }
    // Open and not lost: a lost port fails every call at once.
    bool Usable() const { return Open() && !lost_; }

    // A comm call's result; a failure that says the port is gone marks it lost.
    bool Done(BOOL result) {
        if (!result && IsGoneError(::GetLastError())) {
            lost_ = true;
        }
        return result != FALSE;
    }

    // ClearCommError, keeping the line errors it reports (and thereby clears) for the next
    // ClearError, whichever call asked.
    bool Status(COMSTAT& status) {
        DWORD comm_errors = 0;
        if (!Usable() || !Done(CommCalls().ClearCommError(port_, &comm_errors, &status))) {
            return false;
        }
        pending_errors_ |= comm_errors & kLineErrorBits;
        return true;
    }

    HANDLE port_;
    DCB other_dcb_{};
    unsigned baud_ = 9600;
    std::uint32_t pending_errors_ = 0;
    bool lost_ = false;
    // Under Wine, the port is a pseudo terminal, which passes no breaks.
    bool pty_;
};

}  // namespace

WinCommCalls& CommCalls() {
    return *g_calls.load(std::memory_order_acquire);
}

WinCommCalls* SetCommCalls(WinCommCalls* calls) {
    return g_calls.exchange(calls != nullptr ? calls : &g_plain_calls, std::memory_order_acq_rel);
}

bool IsNativeDeviceAddress(const std::string& address) {
    return address.compare(0, std::strlen(kDevicePrefix), kDevicePrefix) == 0 ||
           IsCommPortName(address);
}

OpenedDevice OpenNativeSerialDevice(const std::string& address) {
    // "COM12" as a device address is the comm port \\.\COM12.
    const std::string path = IsCommPortName(address) ? kDevicePrefix + address : address;
    const HANDLE port = CommCalls().CreateFileA(path.c_str());
    if (port == INVALID_HANDLE_VALUE) {
        return Failure{"cannot open \"" + path + "\": " + SystemMessage(::GetLastError())};
    }
    auto device = std::make_unique<WinCommDevice>(port, WinePortIsPseudoTerminal(path));
    if (auto raw = device->MakeRaw(); !raw) {
        return Failure{"\"" + address + "\" is not a serial port: " + raw.reason()};
    }
    return device;
}

std::optional<std::string> UnmappedPortAddress(int number) {
    if (number < 1 || number > 255) {
        return std::nullopt;
    }
    return std::string(kDevicePrefix) + "COM" + std::to_string(number);
}

}  // namespace vantor::platform
