// The runs of cli_runner.h on Windows. The tests that need prlimit, a pipe with no reader or a
// pseudo-terminal are not in the Windows build's list; should one be added, it fails with a
// clear reason rather than passing without having run.
#include <windows.h>

#include <stdexcept>

#include "cli/cli_runner.h"

namespace vantor::test {

CliRun RunCliWithOpenFilesLimit(const std::vector<std::string>&, long, long) {
    throw std::runtime_error("Windows has no limit on open files to lower");
}

CliRun RunCliIntoClosedPipe(const std::vector<std::string>&) {
    throw std::runtime_error("a run into a closed pipe is only tested on POSIX");
}

CliRun RunCliOnTerminal(const std::vector<std::string>&) {
    throw std::runtime_error("Windows has no pseudo-terminals");
}

// TerminateProcess with the status a POSIX shell gives a process that SIGKILL ended.
bool KillFromOutside(long pid) {
    const HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return false;
    }
    const bool killed = ::TerminateProcess(process, kKilledStatus) != 0;
    ::CloseHandle(process);
    return killed;
}

}  // namespace vantor::test
