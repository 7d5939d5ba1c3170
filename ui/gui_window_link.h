// The window link of the operator's window: carries each call of the download job, made on the
// worker thread, into the window's thread and returns when the window has carried it out.
#pragma once

#include <QObject>
#include <QPointer>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/window_link.h"
#include "ui/window_core.h"

class QMessageBox;

namespace vantor::ui {

class MainDialog;

// One link serves the whole process and is never destroyed, so a worker that the program
// abandons at its end can still call it. While no window is attached every call returns at
// once, so a worker never waits on a window, or an event loop, that has gone.
class GuiWindowLink final : public QObject, public WindowCarrier, public CoreWindowLink {
    Q_OBJECT
  public:
    // The link, made on first use; the first use must be on the window's thread.
    static GuiWindowLink& Instance();

    // Window's thread: makes `dialog` the window that calls reach and installs the link as the
    // process's window link. Returns the attachment's number for BindThisThread.
    std::uint64_t Attach(MainDialog* dialog);
    // Window's thread: `dialog` is going. Waiting workers are released, open message boxes
    // close, and calls return at once until a window is attached again. A window that is no
    // longer the attached one changes nothing.
    void Detach(const MainDialog* dialog);
    // Worker thread: ties the calling thread to one attachment, so that the worker of a window
    // that has gone never writes into a later window.
    static void BindThisThread(std::uint64_t attachment);

    // The carrier's calls; the window link's calls (CoreWindowLink) go through them.
    bool Carry(std::function<void(WindowCore&)> work) override;
    void ShowBox(const std::string& text, const std::string& caption,
                 platform::MessageIcon icon) override;
    void Post(int window, int message) override;
    void PostQuit() override;

    // Worker thread: runs `work` on the window's thread while the worker's window is attached,
    // and returns once it has run; at once, without running it, when the window has gone.
    void RunOnWindow(std::function<void(MainDialog&)> work);

    // The message boxes open now (window's thread), for tests that answer them.
    std::vector<QMessageBox*> OpenBoxes() const;

  private:
    struct PendingCall {
        bool done = false;
        std::string text;
    };

    GuiWindowLink() : CoreWindowLink(static_cast<WindowCarrier&>(*this)) {}

    // Runs `work` on the window's thread while the caller's window is attached and waits until
    // it has run. False when the window has gone (then `work` never runs).
    bool RunOnWindowThread(const std::shared_ptr<PendingCall>& call,
                           std::function<void(MainDialog&)> work);
    bool WaitFor(const std::shared_ptr<PendingCall>& call, std::uint64_t attachment);
    void Complete(const std::shared_ptr<PendingCall>& call);
    bool IsComplete(const std::shared_ptr<PendingCall>& call);
    std::uint64_t CallerAttachment();
    bool IsAttached(std::uint64_t attachment);
    void ShowBox(const std::shared_ptr<PendingCall>& closed, const std::string& text,
                 const std::string& caption, platform::MessageIcon icon);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t attachment_ = 0;  // guarded by mutex_
    bool attached_ = false;         // guarded by mutex_
    // Touched on the window's thread only.
    QPointer<MainDialog> dialog_;
    std::vector<QPointer<QMessageBox>> boxes_;
};

}  // namespace vantor::ui
