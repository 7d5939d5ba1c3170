#include "ui/win32/win32_carrier.h"

#include <vector>

namespace vantor::ui::win32 {

namespace {

// The attachment a worker belongs to; 0 on threads that are not workers.
thread_local std::uint64_t t_attachment = 0;

UINT BoxIcon(platform::MessageIcon icon) {
    switch (icon) {
        case platform::MessageIcon::Information:
            return MB_ICONINFORMATION;
        case platform::MessageIcon::Question:
            return MB_ICONQUESTION;
        case platform::MessageIcon::Stop:
            return MB_ICONSTOP;
        case platform::MessageIcon::None:
            break;
    }
    return 0;
}

BOOL CALLBACK CloseThreadBox(HWND window, LPARAM) {
    // A box with only OK takes the close command as its answer.
    ::PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

}  // namespace

Win32Carrier& Win32Carrier::Instance() {
    // Deliberately never destroyed: an abandoned worker may call it until the process ends.
    static Win32Carrier* const carrier = new Win32Carrier;
    return *carrier;
}

std::uint64_t Win32Carrier::Attach(HWND window, WindowCore* core) {
    std::lock_guard lock(mutex_);
    window_ = window;
    core_ = core;
    window_thread_ = ::GetCurrentThreadId();
    attached_ = true;
    platform::SetWindowLink(this);
    return ++attachment_;
}

void Win32Carrier::Detach() {
    {
        std::lock_guard lock(mutex_);
        attached_ = false;
        window_ = nullptr;
        ++attachment_;
    }
    CloseWorkerBoxes();
}

void Win32Carrier::BindThisThread(std::uint64_t attachment) {
    t_attachment = attachment;
}

void Win32Carrier::CloseWorkerBoxes() {
    std::vector<DWORD> threads;
    {
        std::lock_guard lock(mutex_);
        threads.assign(box_threads_.begin(), box_threads_.end());
    }
    for (const DWORD thread : threads) {
        ::EnumThreadWindows(thread, &CloseThreadBox, 0);
    }
}

std::uint64_t Win32Carrier::CallerAttachment() {
    std::lock_guard lock(mutex_);
    return t_attachment != 0 ? t_attachment : attachment_;
}

LRESULT Win32Carrier::RunCarried(WPARAM attachment, LPARAM work) {
    {
        std::lock_guard lock(mutex_);
        if (!attached_ || attachment != attachment_ || core_ == nullptr) {
            return 0;
        }
    }
    (*reinterpret_cast<std::function<void(WindowCore&)>*>(work))(*core_);
    return 1;
}

bool Win32Carrier::Carry(std::function<void(WindowCore&)> work) {
    const std::uint64_t attachment = CallerAttachment();
    HWND window = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!attached_ || attachment != attachment_) {
            return false;
        }
        window = window_;
    }
    if (::GetCurrentThreadId() == window_thread_) {
        return RunCarried(attachment, reinterpret_cast<LPARAM>(&work)) == 1;
    }
    // Returns once the window's thread has run the call; at once, with 0, when the window has
    // gone meanwhile.
    return ::SendMessageA(window, kCarryMessage, static_cast<WPARAM>(attachment),
                          reinterpret_cast<LPARAM>(&work)) == 1;
}

void Win32Carrier::ShowBox(const std::string& text, const std::string& caption,
                           platform::MessageIcon icon) {
    const std::uint64_t attachment = CallerAttachment();
    const DWORD thread = ::GetCurrentThreadId();
    {
        std::lock_guard lock(mutex_);
        if (!attached_ || attachment != attachment_) {
            return;  // the window has gone: nobody is there to answer
        }
        box_threads_.insert(thread);
    }
    // No owner: the box blocks the worker alone, and the window stays usable meanwhile.
    ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_SETFOREGROUND | BoxIcon(icon));
    std::lock_guard lock(mutex_);
    box_threads_.erase(thread);
}

void Win32Carrier::Post(int notify, int message) {
    if (notify != 0) {
        // The number is the controlling program's window handle; a post to a window that does
        // not exist fails without a word.
        ::PostMessageA(reinterpret_cast<HWND>(static_cast<INT_PTR>(notify)),
                       static_cast<UINT>(message), 0, 0);
    }
}

void Win32Carrier::PostQuit() {
    const std::uint64_t attachment = CallerAttachment();
    std::lock_guard lock(mutex_);
    if (attached_ && attachment == attachment_) {
        ::PostMessageA(window_, kQuitMessage, 0, 0);
    }
}

bool WaitCarrying(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(bound.count());
    constexpr DWORD kPollMs = 10;
    while (!done() && ::GetTickCount64() < deadline) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, kPollMs, QS_SENDMESSAGE);
        // Carries out the calls sent meanwhile; posted messages and input stay queued.
        MSG message;
        ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    return done();
}

}  // namespace vantor::ui::win32
