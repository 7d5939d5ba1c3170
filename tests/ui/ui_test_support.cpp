#include "ui_test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "image/image_writer.h"
#include "ui/main_dialog.h"
#include "ui/settings_store.h"

namespace vantor::ui::test {

bool WaitUntil(const std::function<bool()>& condition) {
    // Waits for the next event rather than sleeping between looks, so that a worker that waits
    // for the window at every display goes at its own pace; the timer wakes it to look again.
    // Events are processed here rather than by a loop of its own, which the job's quit ends.
    const QDeadlineTimer deadline(kHangGuardMs);
    QTimer wake;
    wake.start(1);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QString Text(MainDialog& dialog, platform::Display display) {
    return dialog.Label(display)->text();
}

void Prepare(MainDialog& dialog, const std::string& image, int notify_fd) {
    dialog.Host().Options.PortIndex = 0;
    dialog.Host().Options.BaudChoice = 1;
    dialog.Host().Options.ImagePath = image;
    dialog.Host().NotifyWindowFd = notify_fd;
    dialog.OnInitDialog();
    dialog.show();
}

bool JobEnded(MainDialog& dialog) {
    return dialog.Host().JobRunning.load() == 0;
}

TempStore::TempStore() {
    ::setenv("VANTOR_REGISTRY", RegistryPath().c_str(), 1);
    ::setenv("XDG_DATA_HOME", DataFolder().c_str(), 1);
}

TempStore::~TempStore() {
    ::unsetenv("VANTOR_REGISTRY");
    ::unsetenv("XDG_DATA_HOME");
}

std::string TempStore::RegistryPath() const {
    return folder_.filePath(QStringLiteral("config/registry")).toStdString();
}

std::string TempStore::DataFolder() const {
    return folder_.filePath(QStringLiteral("data")).toStdString();
}

platform::Registry::Values TempStore::SettingsValues() const {
    const platform::Registry registry(RegistryPath());
    auto key = registry.OpenKeyForReading(kSettingsKey);
    if (!key) {
        return {};
    }
    platform::Registry::Values values;
    // Every name the program writes, read with room to spare.
    for (const char* name : {"FilePath", "COM", "BRAT", "ADDR", "ADDREN"}) {
        if (auto value = registry.QueryValue(*key, name, 1 << 16)) {
            values[name] = *value;
        }
    }
    return values;
}

void TempStore::Store(const std::string& name, const std::string& text) const {
    const platform::Registry registry(RegistryPath());
    auto key = registry.CreateKey(kSettingsKey);
    if (!key || !registry.SetValue(*key, name, text)) {
        throw std::runtime_error("the test store cannot be written");
    }
}

NotifyPipe::NotifyPipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) {
        throw std::runtime_error("no pipe");
    }
    ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
}

NotifyPipe::~NotifyPipe() {
    ::close(fds_[0]);
    ::close(fds_[1]);
}

std::string NotifyPipe::Posted() {
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

void ClearQuit() {
    QTimer::singleShot(0, QCoreApplication::instance(), [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

namespace {

// The images made for the tests, removed when the test program ends: a test need not remove its
// own, and one whose check failed halfway leaves nothing behind either.
struct MadeImages {
    std::vector<std::string> paths;
    ~MadeImages() {
        for (const std::string& path : paths) {
            std::remove(path.c_str());
        }
    }
};

}  // namespace

std::string WriteTestImage(int packets, int revision) {
    static MadeImages made;
    std::string path =
        image_writer::ImageBuilder::Kdx(revision).FillerPackets(packets, 32).WriteTemp();
    made.paths.push_back(path);
    return path;
}

}  // namespace vantor::ui::test
