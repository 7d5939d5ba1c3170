#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include "cli/console/terminal.h"

namespace vantor::cli {

int TerminalColumns(std::FILE* stream, int fallback) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return fallback;
}

void IgnoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace vantor::cli
