// Starting and watching a station's child process on Windows: this program again (its own
// module's path) as a child of platform/process.h, whose readers fill each station's buffers and
// whose wait wakes for any station that wrote or ended. Each child leads a process group of its
// own, so a Ctrl-C at the console reaches only the line, which passes it on through the station's
// interrupt channel (platform/win/interrupt_channel.h) as a Ctrl-C on the station's console; and
// each is in the job object that ends every child when the line ends, however it ends.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <utility>
#include <vector>

#include "line/station_process.h"
#include "line/station_system.h"
#include "platform/process.h"
#include "platform/win/interrupt_channel.h"

namespace vantor::line {

namespace {

using platform::ChildProcess;
using platform::OutputStream;

// The longest module path asked for (the system's own limit for long paths).
constexpr DWORD kPathMost = 32768;

std::optional<std::string> OwnProgram() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::nullopt;
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        if (path.size() >= kPathMost) {
            return std::nullopt;
        }
        path.resize(std::min<std::size_t>(path.size() * 2, kPathMost));
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), narrow.data(),
                          size, nullptr, nullptr);
    return narrow;
}

}  // namespace

Result<void> PrepareStationChild(platform::ChildOptions& options) {
    const std::optional<std::string> program = OwnProgram();
    if (!program) {
        return Failure{"this program's own path is unknown"};
    }
    options.program = *program;
    return {};
}

// A console has one interruption a process can be sent, Ctrl-C: SIGINT and SIGTERM alike reach
// the station as that, and it winds down as an interrupted run does.
int StationSignal(int /*signal_number*/) {
    return SIGINT;
}

// The readers and the wait hold no system limit that a line of stations comes near.
Result<void> MakeRoomForStations(long /*stations*/) {
    return {};
}

// The job object the line puts each station into before it runs ends the station with the line;
// the station listens for the Ctrl-C that the line passes on.
void TieStationToLine() {
    platform::ListenToParentInterruptions();
}

std::string SignalName(int signal_number) {
    switch (signal_number) {
        case SIGINT:
            return "signal 2 (Interrupt)";
        case platform::kKillSignal:
            return "signal 9 (Killed)";
        case SIGTERM:
            return "signal 15 (Terminated)";
        default:
            return "signal " + std::to_string(signal_number);
    }
}

}  // namespace vantor::line
