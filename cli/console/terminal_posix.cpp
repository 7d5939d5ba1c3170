#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include "cli/console/terminal.h"

namespace vantor::cli {

TerminalSize TerminalSizeOf(std::FILE* stream, TerminalSize fallback) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return {size.ws_col, size.ws_row};
    }
    return fallback;
}

int TerminalColumns(std::FILE* stream, int fallback) {
    return TerminalSizeOf(stream, {fallback, 0}).columns;
}

void IgnoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace vantor::cli
