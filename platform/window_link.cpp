#include "platform/window_link.h"

#include <atomic>

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

}  // namespace vantor::platform
