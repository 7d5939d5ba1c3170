#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string_view>

#include "platform/terminal.h"

namespace vantor::platform {

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

bool TerminalTakesSequences(std::FILE* stream) {
    // A terminal without a kind, or a dumb one (an editor's shell buffer, a serial console),
    // would show the carriage returns and the erase sequences as they are.
    const char* kind = std::getenv("TERM");
    return WritesToTerminal(stream) && kind != nullptr && *kind != '\0' &&
           std::string_view(kind) != "dumb";
}

bool WritesToTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) != 0;
}

void IgnoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

// poll() reports POLLERR on the write end of a pipe that has no reader left.
bool ReaderHasGone(std::FILE* stream) {
    const int fd = ::fileno(stream);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) {
        return false;
    }
    pollfd entry{fd, POLLOUT, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLERR) != 0;
}

}  // namespace vantor::platform
