// The thin layer through which the Windows comm backend makes every comm call, so that a test
// can hand the backend what no pseudo terminal carries (a break on the receive line).
#pragma once

#include <windows.h>

namespace vantor::platform {

// Each operation is the Win32 call of the same name.
class WinCommCalls {
  public:
    virtual ~WinCommCalls() = default;

    virtual HANDLE CreateFileA(const char* name);
    virtual BOOL GetCommState(HANDLE port, DCB* dcb);
    virtual BOOL SetCommState(HANDLE port, DCB* dcb);
    virtual BOOL SetupComm(HANDLE port, DWORD rx_bytes, DWORD tx_bytes);
    virtual BOOL ReadFile(HANDLE port, void* buffer, DWORD count, DWORD* got);
    virtual BOOL WriteFile(HANDLE port, const void* bytes, DWORD count, DWORD* written);
    virtual BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status);
    virtual BOOL PurgeComm(HANDLE port, DWORD flags);
    virtual BOOL SetCommBreak(HANDLE port);
    virtual BOOL ClearCommBreak(HANDLE port);
    virtual BOOL CloseHandle(HANDLE port);
};

// The layer in force: the plain calls unless a test installed another.
WinCommCalls& CommCalls();
// Installs `calls` (nullptr restores the plain calls); returns the previous layer.
WinCommCalls* SetCommCalls(WinCommCalls* calls);

}  // namespace vantor::platform
