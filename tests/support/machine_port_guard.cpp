// Keeps every test off the serial ports of the machine it runs on. On the test machines
// /dev/ttyS0, COM1's device when no store maps it, is the machine's console: a test that opened
// it would send the drive's dialogue there. Compiled into every GoogleTest program that links
// the test support; a test that trips either check below fails, naming the device:
// - an open through the device addresses of this process (OpenSerialDevice, and so the port
//   map's names) is refused before it reaches the device;
// - the kernel reports every open of a /dev/ttyS* device (inotify), also by a program a test
//   started. That report cannot tell who opened it: on a machine where something else opens
//   these devices while the tests run, that shows here too.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial/device_address.h"

namespace vantor::test {
namespace {

constexpr char kMachinePortPrefix[] = "/dev/ttyS";

std::mutex g_mutex;
std::vector<std::string> g_refused;

platform::OpenedDevice RefuseMachinePort(const std::string& address) {
    {
        std::lock_guard lock(g_mutex);
        g_refused.push_back(address);
    }
    return Failure{address + " is a serial port of the machine the tests run on"};
}

class MachinePortGuard final : public testing::EmptyTestEventListener {
  public:
    void OnTestProgramStart(const testing::UnitTest&) override {
        platform::RegisterDeviceScheme(kMachinePortPrefix, &RefuseMachinePort);
        watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
            const std::string path = entry.path().string();
            // A device this user may not read cannot be opened by the tests either.
            const int watched = path.rfind(kMachinePortPrefix, 0) == 0 && watch_ >= 0
                                    ? ::inotify_add_watch(watch_, path.c_str(), IN_OPEN)
                                    : -1;
            if (watched >= 0) {
                watched_[watched] = path;
            }
        }
    }

    void OnTestStart(const testing::TestInfo&) override {
        Opened();
        std::lock_guard lock(g_mutex);
        g_refused.clear();
    }

    void OnTestEnd(const testing::TestInfo&) override {
        for (const std::string& path : Opened()) {
            ADD_FAILURE() << "the test opened " << path << ", a serial port of this machine";
        }
        std::lock_guard lock(g_mutex);
        for (const std::string& address : g_refused) {
            ADD_FAILURE() << "the test tried to open " << address
                          << ", a serial port of this machine";
        }
    }

    void OnTestProgramEnd(const testing::UnitTest&) override {
        platform::RegisterDeviceScheme(kMachinePortPrefix, nullptr);
        if (watch_ >= 0) {
            ::close(watch_);
        }
    }

  private:
    // The watched devices opened since the last call.
    std::vector<std::string> Opened() {
        std::vector<std::string> opened;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t got; watch_ >= 0 && (got = ::read(watch_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                opened.push_back(watched_[event->wd]);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return opened;
    }

    int watch_ = -1;
    std::map<int, std::string> watched_;
};

// GoogleTest tells its listeners of a test's end in the reverse of their order, so this one
// reports its failures before the result printer reports the test.
const bool g_installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new MachinePortGuard);
    return true;
}();

}  // namespace
}  // namespace vantor::test
