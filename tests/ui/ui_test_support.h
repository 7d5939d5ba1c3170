// Fixtures of the window tests: a settings store and data folder of the test's own, and a
// simulated drive on a virtual clock behind COM1 to COM4.
#pragma once

#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/window_link.h"
#include "sim/sim_world.h"
#include "support/test_support.h"

namespace vantor::ui {
class MainDialog;
}

namespace vantor::ui::test {

// Long enough for any job here, which runs in virtual time; only a hang reaches it.
inline constexpr int kHangGuardMs = 60000;

// Runs the event loop until `condition` holds; false when only the hang guard ended the wait.
bool WaitUntil(const std::function<bool()>& condition);

// The text that a display of the window shows.
QString Text(MainDialog& dialog, platform::Display display);

// Opens a window for one image on COM1 at 19200, notifying `notify_fd`.
void Prepare(MainDialog& dialog, const std::string& image, int notify_fd = 0);

// True once the window's job has cleared its busy flag.
bool JobEnded(MainDialog& dialog);

// Points $VANTOR_REGISTRY and $XDG_DATA_HOME into a fresh folder for its lifetime.
class TempStore {
  public:
    TempStore();
    ~TempStore();
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

    std::string RegistryPath() const;
    std::string DataFolder() const;
    // Every value of the settings key, by name.
    platform::Registry::Values SettingsValues() const;
    void Store(const std::string& name, const std::string& text) const;

  private:
    QTemporaryDir folder_;
};

// A simulated drive on a virtual clock, opened for COM1 to COM4 for the bench's lifetime.
class SimDriveBench {
  public:
    explicit SimDriveBench(const std::string& options = "") : drive_(options) {}

    platform::VirtualClock clock{1'000'000'000};

  private:
    platform::ScopedClock scoped_clock_{clock};
    vantor::test::SimDriveOnPorts drive_;

  public:
    std::shared_ptr<sim::SimWorld>& world = drive_.world;
};

// A pipe standing for the controlling program: its write end is the number given with "-m".
class NotifyPipe {
  public:
    NotifyPipe();
    ~NotifyPipe();
    NotifyPipe(const NotifyPipe&) = delete;
    NotifyPipe& operator=(const NotifyPipe&) = delete;

    int WriteEnd() const { return fds_[1]; }
    // Everything posted so far.
    std::string Posted();

  private:
    int fds_[2] = {-1, -1};
};

// The job's quit ends every event loop, and Qt then refuses to run a new one until the
// application's own loop has run; a test whose window ended by the quit calls this before the
// next window opens.
void ClearQuit();

// A KDX image for hardware revision `revision` with `packets` packets, in a temporary file.
std::string WriteTestImage(int packets, int revision = 2);

}  // namespace vantor::ui::test
