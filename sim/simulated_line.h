// The host's serial device on a simulated line, and the "sim" device scheme that opens one on
// a new world of its own.
#pragma once

#include <memory>
#include <string>

#include "platform/serial/serial_device.h"
#include "sim/sim_world.h"

namespace vantor::sim {

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
    // Once the adapter is unplugged (unplug-at), lost as a pulled-out USB adapter is, so that
    // every wait of the link ends at once.
    platform::DeviceCondition Condition() const override;
    // The line moves only when asked, so the wait looks at it every millisecond of the process
    // clock and ends at the first at which bytes, a break, a line error or the adapter's loss
    // has come since the call: where the link's 1 ms polls would have seen it.
    bool AwaitsInput() const override { return open_; }
    void AwaitInput(int ms) override;

  private:
    std::shared_ptr<SimWorld> world_;
    bool open_ = true;
};

// Opens a new simulated line with its drive(s), configured by the comma-separated `options`
// (the text after "sim:"); or says why, for an option it does not know or a value it cannot
// use.
platform::OpenedDevice OpenSimulatedDevice(const std::string& options);

// Makes the device addresses "sim" and "sim:OPTIONS" open the built-in simulated drive
// (OpenSimulatedDevice) through platform::OpenSerialDevice, for the rest of the process. The
// platform layer does not know the simulator; each program that offers it calls this once at
// start-up.
void RegisterSimulatedDeviceScheme();

}  // namespace vantor::sim
