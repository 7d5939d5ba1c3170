// Posts to the controlling program through an inherited file descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/window_link.h"

namespace vantor::platform {

std::string NotifyDescriptorProblem(int fd) {
    if (fd != 0 && ::fcntl(fd, F_GETFD) < 0) {
        return "no such open file descriptor";
    }
    return {};
}

Result<void> PostToDescriptor(int fd, int message) {
    if (fd <= 0) {
        return {};
    }
    // A reader that has gone away must not end this program: the write then fails with EPIPE.
    static const bool sigpipe_ignored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)sigpipe_ignored;
    const std::string line = std::to_string(message) + "\n";
    const auto fail = [](int failure) { return Failure{std::strerror(failure)}; };
    // A post never waits: make the descriptor non-blocking for this one write and put its
    // flags back afterwards. A full pipe or a closed reader loses the post, and says so.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return fail(errno);
    }
    if ((flags & O_NONBLOCK) == 0) {
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    ssize_t written;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    const int failure = written < 0 ? errno : EAGAIN;  // a part of the line is no post either
    if ((flags & O_NONBLOCK) == 0) {
        ::fcntl(fd, F_SETFL, flags);
    }
    if (written != static_cast<ssize_t>(line.size())) {
        return fail(failure);
    }
    return {};
}

}  // namespace vantor::platform
