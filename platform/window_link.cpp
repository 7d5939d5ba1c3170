#include "platform/window_link.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace vantor::platform {

namespace {

class NullWindowLink final : public WindowLink {
  public:
    void SetText(Display, const std::string&) override {}
    std::string GetText(Display) override { return {}; }
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void MessageBox(const std::string&, const std::string&, MessageIcon) override {}
    void Post(int, int) override {}
    void PostQuit() override {}
};

NullWindowLink g_null_link;
std::atomic<WindowLink*> g_link{&g_null_link};

}  // namespace

const char* DisplayName(Display display) {
    switch (display) {
        case Display::StatusLine:
            return "StatusLine";
        case Display::VersionLabel:
            return "VersionLabel";
        case Display::RevisionLabel:
            return "RevisionLabel";
        case Display::FileNameLabel:
            return "FileNameLabel";
        case Display::AddressLabel:
            return "AddressLabel";
    }
    return "?";
}

WindowLink& Window() {
    return *g_link.load(std::memory_order_acquire);
}

WindowLink* SetWindowLink(WindowLink* link) {
    return g_link.exchange(link != nullptr ? link : &g_null_link, std::memory_order_acq_rel);
}

std::string FormatStatus(const std::string& text, int number) {
    if (number == 0) {
        return text;
    }
    return text + " " + std::to_string(number);
}

void ReportStatus(const std::string& text, int number) {
    Window().SetText(Display::StatusLine, FormatStatus(text, number));
}

void PostToDescriptor(int fd, int message) {
    if (fd <= 0) {
        return;
    }
    // A reader that has gone away must not end this program: the write then fails with EPIPE.
    static const bool sigpipe_ignored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)sigpipe_ignored;
    const std::string line = std::to_string(message) + "\n";
    // A post never waits: make the descriptor non-blocking for this one write and put its
    // flags back afterwards. A full pipe or a closed reader loses the post, as a post to a
    // window that no longer exists is lost.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return;
    }
    if ((flags & O_NONBLOCK) == 0) {
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    ssize_t written;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if ((flags & O_NONBLOCK) == 0) {
        ::fcntl(fd, F_SETFL, flags);
    }
}

}  // namespace vantor::platform
