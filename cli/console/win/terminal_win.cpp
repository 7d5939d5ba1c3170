#include <io.h>
#include <windows.h>

#include "cli/console/terminal.h"

namespace vantor::cli {

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

// A write to a pipe whose reader is gone fails on Windows; there is no signal to ignore.
void IgnoreBrokenPipes() {}

// The failed write's own error (EPIPE, from the C runtime's mapping) says so here.
bool ReaderHasGone(std::FILE*) {
    return false;
}

}  // namespace vantor::cli
