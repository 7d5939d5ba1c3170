// Fixtures shared by the core test suites.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/result.h"
#include "platform/serial/port_map.h"
#include "platform/window_link.h"
#include "sim/sim_world.h"

namespace vantor::test {

// What a step gave; a failure fails the test, naming its reason, and gives an empty value.
template <typename T>
T ValueOf(Result<T> result) {
    EXPECT_TRUE(result) << result.reason();
    return std::move(result).ValueOr(T{});
}

// A window link that records every call and keeps each display's current text.
class RecordingWindowLink final : public platform::WindowLink {
  public:
    struct Call {
        std::string what;  // "text", "range", "pos", "box", "post", "quit"
        platform::Display display = platform::Display::StatusLine;
        std::string text;  // the text, or the box's text
        std::string caption;
        int a = 0;  // range low, position, post descriptor
        int b = 0;  // range high, post message
    };

    void SetText(platform::Display display, const std::string& text) override;
    std::string GetText(platform::Display display) override;
    void SetProgressRange(int low, int high) override;
    void SetProgressPos(int pos) override;
    void MessageBox(const std::string& text, const std::string& caption,
                    platform::MessageIcon icon) override;
    void Post(int notify_fd, int message) override;
    void PostQuit() override;

    std::vector<Call> Calls();
    // Every text the status line showed, in order.
    std::vector<std::string> StatusTexts();
    std::string Text(platform::Display display);
    std::vector<Call> Boxes();
    std::vector<Call> Posts();
    int QuitCount();
    void Clear();

  private:
    std::mutex mutex_;
    std::vector<Call> calls_;
    std::string texts_[5];
};

// A simulated drive that COM1 to COM4 open for the object's lifetime, through the stored port
// map that every port map reads; one at a time.
class SimDriveOnPorts {
  public:
    explicit SimDriveOnPorts(sim::SimOptions options);
    // Options as the device address gives them, e.g. "address=2,ident=0x1283".
    explicit SimDriveOnPorts(const std::string& options);
    ~SimDriveOnPorts();
    SimDriveOnPorts(const SimDriveOnPorts&) = delete;
    SimDriveOnPorts& operator=(const SimDriveOnPorts&) = delete;

    std::shared_ptr<sim::SimWorld> world;

  private:
    platform::StoredPortLookup stored_ports_ = nullptr;
};

// A simulated drive on a virtual clock, reachable as COM1 to COM4, with a recording window
// link: everything a link or job test needs, installed for the fixture's lifetime.
class SimBench {
  public:
    explicit SimBench(sim::SimOptions options = {});
    explicit SimBench(const std::string& options);

    platform::VirtualClock clock{1'000'000'000};
    RecordingWindowLink window;

  private:
    // The clock is installed before the drive exists, so the world starts at the bench's time.
    platform::ScopedClock scoped_clock_{clock};
    platform::ScopedWindowLink scoped_window_{window};
    SimDriveOnPorts drive_;
    std::int64_t start_ns_;

  public:
    std::shared_ptr<sim::SimWorld>& world = drive_.world;

    // Milliseconds of virtual time since the bench was made.
    double ElapsedMs();
};

// Asks `condition` again, yielding between asks, until it holds or `bound` of real time has
// passed; whether it held. The bound only turns a hang into a failure: no test depends on how
// long the wait took.
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound);

// Eventually, for a wait on a worker thread that uses the test's objects: when the bound passes,
// reports `what` as a failure and aborts the test program, since the test can neither join the
// worker nor go on while it runs.
void AwaitOrAbort(const std::function<bool()>& condition, std::chrono::milliseconds bound,
                  const std::string& what);

// The bytes of a text, for comparing with what went over the line.
std::vector<std::uint8_t> BytesOf(const std::string& text);

// Sets the environment variable `name` to `value` (nullptr removes it) for the object's
// lifetime, then gives it back what it had.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// Sets (nullptr: removes) an environment variable for this process.
void SetEnv(const std::string& name, const char* value);

// A new empty folder under the system's temporary folder, removed with all it holds when the
// object goes.
class TempFolder {
  public:
    explicit TempFolder(const std::string& stem);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Gives a test program that runs outside a session (as under CTest, with no $XDG_RUNTIME_DIR)
// a runtime folder of its own for the object's lifetime. Without one, Qt makes
// $TMPDIR/runtime-$USER and leaves it behind. A runtime folder the session has is kept.
class ScopedRuntimeFolder {
  public:
    ScopedRuntimeFolder();

  private:
    std::optional<TempFolder> folder_;
    std::optional<ScopedEnv> variable_;
};

}  // namespace vantor::test
