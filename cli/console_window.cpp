#include "cli/console_window.h"

namespace vantor::cli {

using platform::Display;

void ConsoleWindow::SetText(Display display, const std::string& text) {
    std::lock_guard lock(mutex_);
    texts_[static_cast<int>(display)] = text;
    if (display == Display::StatusLine) {
        std::fprintf(out_, "%s\n", text.c_str());
    } else {
        std::fprintf(out_, "%s: %s\n", platform::DisplayName(display), text.c_str());
    }
    std::fflush(out_);
}

std::string ConsoleWindow::GetText(Display display) {
    std::lock_guard lock(mutex_);
    return texts_[static_cast<int>(display)];
}

void ConsoleWindow::SetProgressRange(int, int) {}

void ConsoleWindow::SetProgressPos(int) {}

void ConsoleWindow::MessageBox(const std::string& text, const std::string& caption,
                               platform::MessageIcon) {
    // A message box has no one to wait for here: it goes to the error stream.
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

void ConsoleWindow::Post(int window, int message) {
    platform::PostToDescriptor(window, message);
}

void ConsoleWindow::PostQuit() {}

}  // namespace vantor::cli
