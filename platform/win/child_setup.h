// What a child started by platform/process.h is given on Windows before it runs: its command
// line and environment block, its standard streams' handles, and the job object every child
// joins. Used by win/process_win.cpp alone.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/process.h"
#include "platform/win/owned_handle.h"

namespace vantor::platform {

// UTF-8 and the system's UTF-16, both ways.
std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);
// `what`, and the system's words for the calling thread's last error.
std::string LastErrorText(const std::string& what);

// `argv` as one command line that CommandLineToArgvW and the C runtime split into the same
// arguments again.
std::wstring CommandLine(const std::vector<std::string>& argv);
// The parent's environment with `changes` made (names compared without case, as Windows does),
// as the block CreateProcessW takes.
std::wstring EnvironmentBlock(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes);

// The job every child joins: when this process ends, the system closes the job's last handle
// and ends every child still in it. It lives as long as the process.
struct ChildrenJob {
    HANDLE job = nullptr;
    std::string error;  // why there is none
};
ChildrenJob TheChildrenJob();

// The child's end of one standard stream, not yet inheritable, and for a pipe the parent's end;
// or why it could not be had. Stderr's kJoinOut is the caller's to handle.
struct StreamEnds {
    OwnedHandle child;
    OwnedHandle parent;
    std::string error;
};
// `standard_handle` names the stream (STD_INPUT_HANDLE, ...), which kInherit copies.
StreamEnds ConnectStream(const ChildStream& stream, DWORD standard_handle);
// An inheritable copy of `handle`, kept in `copies`; null for no handle or a failed copy.
HANDLE Inheritable(const OwnedHandle& handle, std::vector<OwnedHandle>& copies);

}  // namespace vantor::platform
