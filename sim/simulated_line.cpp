// The host's serial device on a simulated line: every call first brings the world up to the
// process clock's now, then acts on the host's side of it.
#include "sim/simulated_line.h"

#include <mutex>

#include "platform/clock.h"
#include "platform/serial/device_address.h"
#include "sim/world_state.h"

namespace vantor::sim {

namespace {

// Locks the world and advances it to now for the length of one device call. (A template only
// so that it need not name the world's private state type.)
template <typename State>
class WorldAtNow {
  public:
    explicit WorldAtNow(State& state) : state_(state), lock_(state.mutex) {
        state_.Advance(platform::NowNs());
    }
    State* operator->() { return &state_; }

  private:
    State& state_;
    std::lock_guard<std::mutex> lock_;
};

// A write is synchronous: it returns once the transmitter holds every byte not yet sent, so
// the caller's time (and the world with it) moves on while a long write goes out.
template <typename State>
void WaitForTransmitter(State& world_state) {
    while (true) {
        std::int64_t wait_ns = 0;
        {
            WorldAtNow state(world_state);
            wait_ns = state->HostWriteWaitNs();
        }
        if (wait_ns <= 0) {
            return;
        }
        platform::ProcessClock().SleepNs(wait_ns);
    }
}

}  // namespace

// Once the adapter is unplugged (unplug-at) every call fails, as on a device that has gone
// away; only the close succeeds.

// A port opened anew starts with empty buffers: what the drive sent while no port was open
// is lost, as on a real line.
SimulatedLine::SimulatedLine(std::shared_ptr<SimWorld> world) : world_(std::move(world)) {
    WorldAtNow state(*world_->state_);
    state->HostOpen();
}

SimulatedLine::~SimulatedLine() {
    Close();
}

bool SimulatedLine::GetSettings(platform::LineSettings& settings) {
    if (!open_) {
        return false;
    }
    WorldAtNow state(*world_->state_);
    if (state->Unplugged()) {
        return false;
    }
    settings = state->settings;
    return true;
}

bool SimulatedLine::SetSettings(const platform::LineSettings& settings) {
    if (!open_ || settings.BaudRate == 0) {
        return false;
    }
    WorldAtNow state(*world_->state_);
    if (state->Unplugged()) {
        return false;
    }
    state->HostSetSettings(settings);
    return true;
}

bool SimulatedLine::SetQueueSizes(std::uint32_t rx_bytes, std::uint32_t tx_bytes) {
    // The transmit queue drains at line rate and never fills up, so only its size is checked.
    if (!open_ || rx_bytes == 0 || tx_bytes == 0) {
        return false;
    }
    WorldAtNow state(*world_->state_);
    if (state->Unplugged()) {
        return false;
    }
    state->HostSetQueueSize(rx_bytes);
    return true;
}

bool SimulatedLine::Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) {
    got = 0;
    if (!open_) {
        return false;
    }
    WorldAtNow state(*world_->state_);
    if (state->Unplugged()) {
        return false;
    }
    got = state->HostRead(buffer, max);
    return true;
}

bool SimulatedLine::Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) {
    written = 0;
    if (!open_) {
        return false;
    }
    {
        WorldAtNow state(*world_->state_);
        if (state->Unplugged()) {
            return false;
        }
        state->HostWrite(bytes, count);
    }
    written = count;
    WaitForTransmitter(*world_->state_);
    return true;
}

bool SimulatedLine::ClearError(std::uint32_t& errors, std::uint32_t& bytes_waiting) {
    errors = 0;
    bytes_waiting = 0;
    if (!open_) {
        return false;
    }
    WorldAtNow state(*world_->state_);
    if (state->Unplugged()) {
        return false;
    }
    errors = state->HostClearError();
    bytes_waiting = static_cast<std::uint32_t>(state->rx_queue.size());
    return true;
}

bool SimulatedLine::Purge(std::uint32_t flags) {
    if (!open_) {
        return false;
    }
    WorldAtNow state(*world_->state_);
    if (state->Unplugged()) {
        return false;
    }
    state->HostPurge(flags);
    return true;
}

bool SimulatedLine::SetBreak() {
    if (!open_) {
        return false;
    }
    WorldAtNow state(*world_->state_);
    if (state->Unplugged()) {
        return false;
    }
    state->HostSetBreak();
    return true;
}

bool SimulatedLine::ClearBreak() {
    if (!open_) {
        return false;
    }
    WorldAtNow state(*world_->state_);
    if (state->Unplugged()) {
        return false;
    }
    state->HostClearBreak();
    return true;
}

// Bytes already written still go out after the close, as from a UART's transmit buffer: the
// reset frame is written just before the port is closed.
bool SimulatedLine::Close() {
    if (!open_) {
        return false;
    }
    WorldAtNow state(*world_->state_);
    state->HostClearBreak();
    open_ = false;
    return true;
}

void SimulatedLine::AwaitInput(int ms) {
    std::size_t waiting = 0;
    {
        WorldAtNow state(*world_->state_);
        waiting = state->rx_queue.size();
    }
    const std::int64_t end_ns = platform::NowNs() + std::int64_t{ms} * 1'000'000;
    while (open_ && platform::NowNs() < end_ns) {
        platform::Sleep(1);
        WorldAtNow state(*world_->state_);
        if (state->Unplugged() || state->rx_queue.size() > waiting || state->break_seen ||
            state->errors != 0) {
            return;
        }
    }
}

platform::DeviceCondition SimulatedLine::Condition() const {
    platform::DeviceCondition condition;
    WorldAtNow state(*world_->state_);
    condition.lost = state->Unplugged() ? platform::kLostSerialDeviceText : nullptr;
    return condition;
}

platform::OpenedDevice OpenSimulatedDevice(const std::string& options) {
    const auto parsed = ParseSimOptions(options);
    if (!parsed) {
        return Failure{"simulated drive: " + parsed.reason()};
    }
    return std::make_unique<SimulatedLine>(std::make_shared<SimWorld>(*parsed));
}

namespace {

// "sim" alone or followed by ":OPTIONS"; any other address that begins with "sim" names no
// device.
platform::OpenedDevice OpenSimAddress(const std::string& address) {
    if (address == "sim") {
        return OpenSimulatedDevice("");
    }
    if (address.rfind("sim:", 0) == 0) {
        return OpenSimulatedDevice(address.substr(4));
    }
    return Failure{"no device for the address \"" + address + "\""};
}

}  // namespace

void RegisterSimulatedDeviceScheme() {
    platform::RegisterDeviceScheme("sim", &OpenSimAddress);
}

}  // namespace vantor::sim
