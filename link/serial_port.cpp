#include "link/serial_port.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/invariant.h"
#include "platform/serial/device_address.h"
#include "platform/window_link.h"

namespace vantor {

namespace {

std::unique_ptr<SerialPort> g_current_port;

// ReadByte is only called for bytes already seen waiting, so it should never wait; this bound
// keeps a device that lost its bytes (an adapter pulled out mid-read) from hanging the job.
constexpr int kReadByteGuardMs = 1000;

}  // namespace

SerialPort::~SerialPort() {
    settings_.reset();
    if (device_) {
        CloseDevice();
    }
}

Result<void> SerialPort::Open(const std::string& device_name, const platform::PortMap& ports) {
    auto opened = platform::OpenSerialDevice(device_name, ports);
    if (!opened) {
        return Failure{opened.reason()};
    }
    device_ = std::move(*opened);
    settings_ = std::make_unique<platform::LineSettings>();
    ReadSettings();
    return {};
}

bool SerialPort::ReadSettings() {
    return device_->GetSettings(*settings_);
}

PortResult SerialPort::ApplySettings() {
    device_->SetSettings(*settings_);
    return PortResult::kDone;
}

PortResult SerialPort::SetBaudRate(std::uint32_t rate) {
    settings_->BaudRate = rate;
    return ApplySettings();
}

PortResult SerialPort::SetParity(std::uint8_t code) {
    settings_->Parity = code;
    return ApplySettings();
}

PortResult SerialPort::SetByteSize(std::uint8_t bits) {
    settings_->ByteSize = bits;
    return ApplySettings();
}

PortResult SerialPort::SetStopBits(std::uint8_t code) {
    settings_->StopBits = code;
    return ApplySettings();
}

int SerialPort::ReadByte() {
    std::uint8_t byte = 0;
    for (int waited_ms = 0; waited_ms <= kReadByteGuardMs; ++waited_ms) {
        std::size_t got = 0;
        const bool ok = device_->Read(&byte, 1, got);
        if (got == 1) {
            return byte;
        }
        if (!ok) {
            break;  // the device is gone: waiting longer brings nothing
        }
        platform::Sleep(1);
    }
    return 0;
}

PortResult SerialPort::WriteByte(int value) {
    const std::uint8_t byte = static_cast<std::uint8_t>(value & 0xFF);
    std::size_t written = 0;
    device_->Write(&byte, 1, written);
    return PortResult::kDone;
}

int SerialPort::WriteBuffer(const std::uint8_t* bytes, std::size_t count) {
    std::size_t written = 0;
    if (!device_->Write(bytes, count, written)) {
        return 0;
    }
    VANTOR_ASSERT(written <= count);
    return static_cast<int>(written);
}

PortResult SerialPort::CloseDevice() {
    const bool closed = device_->Close();
    device_.reset();
    return closed ? PortResult::kDone : PortResult::kFailed;
}

PortResult OpenPort(char port_char, std::uint32_t baud_rate, std::uint8_t parity,
                    std::uint8_t data_bits, std::uint8_t stop_bits, std::uint32_t rx_queue,
                    std::uint32_t tx_queue, const platform::PortMap& ports, PortReport* report) {
    const std::string name = std::string("COM") + port_char;
    auto port = std::make_unique<SerialPort>();
    const auto opened = port->Open(name, ports);
    // A port left current from before is closed rather than leaked; the job never leaves one.
    ClosePort();
    if (report != nullptr) {
        *report = {};
    }
    if (!opened) {
        if (report != nullptr) {
            report->open_error =
                opened.reason().empty() ? "the device did not open" : opened.reason();
        }
        return PortResult::kFailed;
    }
    g_current_port = std::move(port);
    g_current_port->SetBaudRate(baud_rate);
    g_current_port->SetParity(parity);
    g_current_port->SetByteSize(data_bits);
    g_current_port->SetStopBits(stop_bits);
    g_current_port->device()->SetQueueSizes(rx_queue, tx_queue);
    return PortResult::kDone;
}

PortResult OpenDrivePort(std::uint32_t baud_rate, char port_char, const platform::PortMap& ports,
                         PortReport* report) {
    if (OpenPort(port_char, baud_rate, 0, 8, 0, kDriveQueueBytes, kDriveQueueBytes, ports,
                 report) == PortResult::kDone) {
        return PortResult::kDone;
    }
    platform::ReportStatus("Error : Failed to initialize COM port", 0);
    return PortResult::kFailed;
}

void ClosePort(PortReport* report) {
    if (report != nullptr && g_current_port && g_current_port->device() != nullptr) {
        const platform::DeviceCondition condition = g_current_port->device()->Condition();
        report->lost = condition.lost != nullptr ? condition.lost : "";
        report->carries_no_breaks = condition.carries_no_breaks;
    }
    g_current_port.reset();
}

SerialPort* CurrentPort() {
    return g_current_port.get();
}

bool PortLost() {
    return g_current_port && g_current_port->device() != nullptr &&
           g_current_port->device()->Condition().lost != nullptr;
}

bool PortCarriesNoBreaks() {
    return g_current_port && g_current_port->device() != nullptr &&
           g_current_port->device()->Condition().carries_no_breaks;
}

int PortAnswerDelayMs() {
    return g_current_port && g_current_port->device() != nullptr
               ? g_current_port->device()->Condition().answer_delay_ms
               : 0;
}

int PortWriteText(std::size_t length, const char* text) {
    if (!g_current_port) {
        return 0;
    }
    if (length == 0) {
        length = std::strlen(text);
    }
    return g_current_port->WriteBuffer(reinterpret_cast<const std::uint8_t*>(text), length);
}

// Every current-port function needs an open current port; without one they do nothing rather
// than touch a port that is not there.
PortResult PortWriteByte(int value) {
    return g_current_port ? g_current_port->WriteByte(value) : PortResult::kDone;
}

int PortReadByte() {
    return g_current_port ? g_current_port->ReadByte() & 0xFF : 0;
}

int PortBytesWaiting() {
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    if (!g_current_port || !g_current_port->device()->ClearError(errors, waiting)) {
        return 0;
    }
    return static_cast<int>(waiting);
}

std::uint32_t PortLineErrors() {
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    if (!g_current_port || !g_current_port->device()->ClearError(errors, waiting)) {
        return 0;
    }
    return errors;
}

PortResult PortPurgeInput() {
    const bool purged = g_current_port && g_current_port->device()->Purge(platform::kPurgeRxClear);
    return purged ? PortResult::kDone : PortResult::kFailed;
}

PortResult PortPurgeOutput() {
    const bool purged = g_current_port && g_current_port->device()->Purge(platform::kPurgeTxClear);
    return purged ? PortResult::kDone : PortResult::kFailed;
}

BreakResult PortSendBreak() {
    if (!g_current_port || !g_current_port->device()->SetBreak()) {
        return BreakResult::kRefused;
    }
    platform::Sleep(kBreakMs);
    g_current_port->device()->ClearBreak();
    return BreakResult::kSent;
}

}  // namespace vantor
