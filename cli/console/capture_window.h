// A window link that shows nothing and keeps the last status text: for reading an image with
// the reader's own checks where no status line belongs (inspection, the run record).
#pragma once

#include <string>

#include "platform/window_link.h"

namespace vantor::cli {

class CaptureWindow final : public platform::WindowLink {
  public:
    void SetText(platform::Display display, const std::string& text) override {
        if (display == platform::Display::StatusLine) {
            status = text;
        }
    }
    std::string GetText(platform::Display) override { return {}; }
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void MessageBox(const std::string&, const std::string&, platform::MessageIcon) override {}
    void Post(int, int) override {}
    void PostQuit() override {}

    std::string status;
};

}  // namespace vantor::cli
