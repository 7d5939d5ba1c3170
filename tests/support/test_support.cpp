#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <thread>

#include "platform/serial/device_address.h"
#include "platform/serial/port_map.h"
#include "platform/serial/serial_device.h"
#include "sim/simulated_line.h"

namespace vantor::test {

using platform::Display;

void RecordingWindowLink::SetText(Display display, const std::string& text) {
    std::lock_guard lock(mutex_);
    texts_[static_cast<int>(display)] = text;
    calls_.push_back({"text", display, text, {}, 0, 0});
}

std::string RecordingWindowLink::GetText(Display display) {
    std::lock_guard lock(mutex_);
    return texts_[static_cast<int>(display)];
}

void RecordingWindowLink::SetProgressRange(int low, int high) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"range", Display::StatusLine, {}, {}, low, high});
}

void RecordingWindowLink::SetProgressPos(int pos) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"pos", Display::StatusLine, {}, {}, pos, 0});
}

void RecordingWindowLink::MessageBox(const std::string& text, const std::string& caption,
                                     platform::MessageIcon icon) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"box", Display::StatusLine, text, caption, static_cast<int>(icon), 0});
}

void RecordingWindowLink::Post(int notify_fd, int message) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"post", Display::StatusLine, {}, {}, notify_fd, message});
}

void RecordingWindowLink::PostQuit() {
    std::lock_guard lock(mutex_);
    calls_.push_back({"quit", Display::StatusLine, {}, {}, 0, 0});
}

std::vector<RecordingWindowLink::Call> RecordingWindowLink::Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> RecordingWindowLink::StatusTexts() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const Call& call : calls_) {
        if (call.what == "text" && call.display == Display::StatusLine) {
            texts.push_back(call.text);
        }
    }
    return texts;
}

std::string RecordingWindowLink::Text(Display display) {
    return GetText(display);
}

std::vector<RecordingWindowLink::Call> RecordingWindowLink::Boxes() {
    std::lock_guard lock(mutex_);
    std::vector<Call> boxes;
    for (const Call& call : calls_) {
        if (call.what == "box") {
            boxes.push_back(call);
        }
    }
    return boxes;
}

std::vector<RecordingWindowLink::Call> RecordingWindowLink::Posts() {
    std::lock_guard lock(mutex_);
    std::vector<Call> posts;
    for (const Call& call : calls_) {
        if (call.what == "post") {
            posts.push_back(call);
        }
    }
    return posts;
}

int RecordingWindowLink::QuitCount() {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const Call& call : calls_) {
        count += call.what == "quit" ? 1 : 0;
    }
    return count;
}

void RecordingWindowLink::Clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

namespace {

// The world that the "testsim" device address opens; one bench at a time.
std::shared_ptr<sim::SimWorld> g_bench_world;

// The stored port map while a bench is there: COM1 to COM4 all stand for its drive.
Result<std::optional<std::string>> BenchPortLookup(int) {
    return "testsim";
}

platform::OpenedDevice OpenBenchWorld(const std::string&) {
    if (!g_bench_world) {
        return Failure{"no simulated drive on the bench"};
    }
    return std::make_unique<sim::SimulatedLine>(g_bench_world);
}

sim::SimOptions ParseOrThrow(const std::string& text) {
    auto options = sim::ParseSimOptions(text);
    if (!options) {
        throw std::invalid_argument(options.reason());
    }
    return *options;
}

}  // namespace

SimDriveOnPorts::SimDriveOnPorts(sim::SimOptions options)
    : world(std::make_shared<sim::SimWorld>(std::move(options))) {
    g_bench_world = world;
    platform::RegisterDeviceScheme("testsim", &OpenBenchWorld);
    stored_ports_ = platform::SetStoredPortLookup(&BenchPortLookup);
}

SimDriveOnPorts::SimDriveOnPorts(const std::string& options)
    : SimDriveOnPorts(ParseOrThrow(options)) {}

SimDriveOnPorts::~SimDriveOnPorts() {
    platform::SetStoredPortLookup(stored_ports_);
    platform::RegisterDeviceScheme("testsim", nullptr);
    g_bench_world.reset();
}

SimBench::SimBench(sim::SimOptions options)
    : drive_(std::move(options)), start_ns_(clock.NowNs()) {}

SimBench::SimBench(const std::string& options) : drive_(options), start_ns_(clock.NowNs()) {}

double SimBench::ElapsedMs() {
    return static_cast<double>(clock.NowNs() - start_ns_) / 1e6;
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    const auto give_up = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > give_up) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

void AwaitOrAbort(const std::function<bool()>& condition, std::chrono::milliseconds bound,
                  const std::string& what) {
    if (!Eventually(condition, bound)) {
        ADD_FAILURE() << what << " within " << bound.count() << " ms";
        std::fflush(stdout);
        std::abort();
    }
}

std::vector<std::uint8_t> BytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

void SetEnv(const std::string& name, const char* value) {
#ifdef _WIN32
    // An empty value removes the variable on Windows.
    ::_putenv_s(name.c_str(), value != nullptr ? value : "");
#else
    value != nullptr ? ::setenv(name.c_str(), value, 1) : ::unsetenv(name.c_str());
#endif
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str()); old != nullptr) {
        old_ = old;
    }
    SetEnv(name_, value);
}

ScopedEnv::~ScopedEnv() {
    SetEnv(name_, old_ ? old_->c_str() : nullptr);
}

TempFolder::TempFolder(const std::string& stem) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = std::filesystem::temp_directory_path() /
                (stem + "-" + std::to_string(random() % 1000000000u));
        if (std::filesystem::create_directory(path_)) {
            return;
        }
    }
    throw std::runtime_error("no new folder could be made under " +
                             std::filesystem::temp_directory_path().string());
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

ScopedRuntimeFolder::ScopedRuntimeFolder() {
    if (std::getenv("XDG_RUNTIME_DIR") != nullptr) {
        return;
    }
    folder_.emplace("vantor-runtime");
    // Qt takes only a runtime folder that no one else may enter.
    std::filesystem::permissions(folder_->path(), std::filesystem::perms::owner_all);
    variable_.emplace("XDG_RUNTIME_DIR", folder_->path().string().c_str());
}

}  // namespace vantor::test
