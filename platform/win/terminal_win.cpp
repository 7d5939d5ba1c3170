#include <io.h>
#include <windows.h>

#include <cstdlib>

#include "platform/terminal.h"

namespace vantor::platform {

namespace {

// The console whose mode this program changed, and its mode before, given back at exit.
HANDLE g_changed_console = nullptr;
DWORD g_mode_before = 0;

void RestoreConsoleMode() {
    ::SetConsoleMode(g_changed_console, g_mode_before);
}

}  // namespace

TerminalSize TerminalSizeOf(std::FILE* stream, TerminalSize fallback) {
    const HANDLE console = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (console != INVALID_HANDLE_VALUE && ::GetConsoleScreenBufferInfo(console, &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
        return columns > 0 ? TerminalSize{columns, rows} : fallback;
    }
    return fallback;
}

int TerminalColumns(std::FILE* stream, int fallback) {
    return TerminalSizeOf(stream, {fallback, 0}).columns;
}

// Windows 10's console and Windows Terminal take the sequences once virtual terminal processing is
// on; an older console refuses the mode and gets plain lines.
bool TerminalTakesSequences(std::FILE* stream) {
    const HANDLE console = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !::GetConsoleMode(console, &mode)) {
        return false;  // a file or a pipe
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        return true;
    }
    if (!::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        return false;
    }
    if (g_changed_console == nullptr) {
        g_changed_console = console;
        g_mode_before = mode;
        std::atexit(RestoreConsoleMode);
    }
    return true;
}

bool WritesToTerminal(std::FILE* stream) {
    return ::_isatty(::_fileno(stream)) != 0;
}

// A write to a pipe whose reader is gone fails on Windows; there is no signal to ignore.
void IgnoreBrokenPipes() {}

// The failed write's own error (EPIPE, from the C runtime's mapping) says so here.
bool ReaderHasGone(std::FILE*) {
    return false;
}

}  // namespace vantor::platform
