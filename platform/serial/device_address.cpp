// Chooses the backend for a device address and keeps every device open at most once.
#include "platform/serial/device_address.h"

#include <map>
#include <mutex>
#include <set>

#include "platform/serial/native_serial_device.h"
#include "platform/serial/port_map.h"
#include "platform/serial/rfc2217_device.h"

namespace vantor::platform {

namespace {

std::mutex g_mutex;
std::set<std::string> g_open_addresses;
std::map<std::string, DeviceOpener> g_schemes;
DeviceWrapper g_wrapper = nullptr;

// Holds the device's address as taken until the device is closed or destroyed, so that a
// second open of the same device fails as it would on a port opened exclusively.
class ExclusiveDevice final : public SerialDevice {
  public:
    ExclusiveDevice(std::unique_ptr<SerialDevice> inner, std::string address)
        : inner_(std::move(inner)), address_(std::move(address)) {}
    ~ExclusiveDevice() override { Release(); }

    bool GetSettings(LineSettings& s) override { return inner_->GetSettings(s); }
    bool SetSettings(const LineSettings& s) override { return inner_->SetSettings(s); }
    bool SetQueueSizes(std::uint32_t rx, std::uint32_t tx) override {
        return inner_->SetQueueSizes(rx, tx);
    }
    bool Read(std::uint8_t* b, std::size_t max, std::size_t& got) override {
        return inner_->Read(b, max, got);
    }
    bool Write(const std::uint8_t* b, std::size_t n, std::size_t& written) override {
        return inner_->Write(b, n, written);
    }
    bool ClearError(std::uint32_t& errors, std::uint32_t& waiting) override {
        return inner_->ClearError(errors, waiting);
    }
    bool Purge(std::uint32_t flags) override { return inner_->Purge(flags); }
    bool SetBreak() override { return inner_->SetBreak(); }
    bool ClearBreak() override { return inner_->ClearBreak(); }
    DeviceCondition Condition() const override { return inner_->Condition(); }
    std::uint64_t SendFence() override { return inner_->SendFence(); }
    int WaitableFd() const override { return inner_->WaitableFd(); }
    bool AwaitsInput() const override { return inner_->AwaitsInput(); }
    void AwaitInput(int ms) override { inner_->AwaitInput(ms); }
    bool FenceAnswered(std::uint64_t number) override { return inner_->FenceAnswered(number); }
    bool Close() override {
        const bool closed = inner_->Close();
        Release();
        return closed;
    }

  private:
    void Release() {
        if (!released_) {
            std::lock_guard lock(g_mutex);
            g_open_addresses.erase(address_);
            released_ = true;
        }
    }

    std::unique_ptr<SerialDevice> inner_;
    std::string address_;
    bool released_ = false;
};

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

OpenedDevice OpenBackend(const std::string& address) {
    DeviceOpener registered = nullptr;
    {
        std::lock_guard lock(g_mutex);
        for (const auto& [prefix, opener] : g_schemes) {
            if (StartsWith(address, prefix)) {
                registered = opener;
            }
        }
    }
    if (registered != nullptr) {
        return registered(address);
    }
    if (IsNativeDeviceAddress(address)) {
        return OpenNativeSerialDevice(address);
    }
    if (StartsWith(address, "rfc2217://")) {
        return OpenRfc2217Device(address);
    }
    return Failure{"no device for the address \"" + address + "\""};
}

}  // namespace

void RegisterDeviceScheme(const std::string& prefix, DeviceOpener opener) {
    std::lock_guard lock(g_mutex);
    if (opener == nullptr) {
        g_schemes.erase(prefix);
    } else {
        g_schemes[prefix] = opener;
    }
}

void SetDeviceWrapper(DeviceWrapper wrapper) {
    std::lock_guard lock(g_mutex);
    g_wrapper = wrapper;
}

OpenedDevice OpenSerialDevice(const std::string& name) {
    return OpenSerialDevice(name, PortMap());
}

OpenedDevice OpenSerialDevice(const std::string& name, const PortMap& ports) {
    std::string address = name;
    if (StartsWith(name, "COM")) {
        const auto mapped = ports.Resolve(name);
        if (!mapped) {
            return Failure{mapped.reason()};
        }
        if (!*mapped) {
            return Failure{"the port name \"" + name + "\" is not mapped to a device"};
        }
        address = **mapped;
    }
    {
        std::lock_guard lock(g_mutex);
        if (!g_open_addresses.insert(address).second) {
            return Failure{"the device \"" + address + "\" is already open"};
        }
    }
    auto opened = OpenBackend(address);
    if (!opened) {
        std::lock_guard lock(g_mutex);
        g_open_addresses.erase(address);
        return opened;
    }
    auto device = std::move(*opened);
    DeviceWrapper wrapper;
    {
        std::lock_guard lock(g_mutex);
        wrapper = g_wrapper;
    }
    if (wrapper != nullptr) {
        device = wrapper(std::move(device));
    }
    return std::make_unique<ExclusiveDevice>(std::move(device), address);
}

}  // namespace vantor::platform
