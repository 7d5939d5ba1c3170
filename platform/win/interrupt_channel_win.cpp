// The child's side of the interrupt channel (interrupt_channel.h); the parent's side is in
// process_win.cpp.
#include <windows.h>

#include <string>
#include <thread>

#include "platform/win/child_setup.h"
#include "platform/win/interrupt_channel.h"

namespace vantor::platform {

void ListenToParentInterruptions() {
    wchar_t name[256];
    const std::wstring variable = Wide(kInterruptChannelVariable);
    const DWORD length = ::GetEnvironmentVariableW(variable.c_str(), name, 256);
    if (length == 0) {
        return;
    }
    ::SetEnvironmentVariableW(variable.c_str(), nullptr);
    if (length >= 256) {
        return;
    }
    // Held for the rest of the process, as the thread that waits on it runs that long.
    const HANDLE channel = ::OpenSemaphoreW(SYNCHRONIZE, FALSE, name);
    if (channel == nullptr) {
        return;
    }
    std::thread([channel] {
        while (::WaitForSingleObject(channel, INFINITE) == WAIT_OBJECT_0) {
            ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        }
    }).detach();
}

}  // namespace vantor::platform
