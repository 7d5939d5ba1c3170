// The worker's way into the Win32 window: each call of the job is sent to the window as a
// synchronous window message, which the window's thread carries out while the worker waits, as
// the design's worker sets texts and the progress bar. Its message boxes have no owner and
// block only the worker.
#pragma once

#include "ui/win32/windows_api.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>

#include "ui/window_core.h"

namespace vantor::ui::win32 {

// The carried call (wParam: the attachment; lParam: the call) and the job's quit message.
inline constexpr UINT kCarryMessage = WM_APP + 1;
inline constexpr UINT kQuitMessage = WM_APP + 2;

// One carrier serves the process and is never destroyed: a worker abandoned at the program's
// end may still call it, and then its calls return at once.
class Win32Carrier final : public WindowCarrier, public CoreWindowLink {
  public:
    static Win32Carrier& Instance();

    // Window's thread: `window` and its core are what calls reach from now on. Returns the
    // attachment's number for BindThisThread.
    std::uint64_t Attach(HWND window, WindowCore* core);
    // Window's thread: the window is going; calls return at once from now on, and the job's
    // open boxes close.
    void Detach();
    // Worker thread: ties the calling thread to one attachment.
    static void BindThisThread(std::uint64_t attachment);
    // Closes the message boxes that the job's workers show now.
    void CloseWorkerBoxes();
    // The window's handling of kCarryMessage: runs the call when it is still the window's.
    LRESULT RunCarried(WPARAM attachment, LPARAM work);

    bool Carry(std::function<void(WindowCore&)> work) override;
    void ShowBox(const std::string& text, const std::string& caption,
                 platform::MessageIcon icon) override;
    void Post(int notify, int message) override;
    void PostQuit() override;

  private:
    Win32Carrier() : CoreWindowLink(static_cast<WindowCarrier&>(*this)) {}
    std::uint64_t CallerAttachment();

    std::mutex mutex_;
    std::uint64_t attachment_ = 0;  // guarded by mutex_
    bool attached_ = false;         // guarded by mutex_
    HWND window_ = nullptr;         // guarded by mutex_
    WindowCore* core_ = nullptr;    // window's thread only
    DWORD window_thread_ = 0;
    std::set<DWORD> box_threads_;  // guarded by mutex_
};

// Carries out the calls sent to the window's thread (and nothing of the operator's input)
// until `done` holds or `bound` has passed; whether it holds.
bool WaitCarrying(const std::function<bool()>& done, std::chrono::milliseconds bound);

}  // namespace vantor::ui::win32
