// Where the job's displays go when nothing is shown: keeps the last status text and drops the
// rest. For reading an image with the reader's own checks where no status line belongs
// (image-info, the run record's start); the reader's texts arrive through the job's display
// interface (platform::WindowLink), which this implements.
#pragma once

#include <string>

#include "platform/window_link.h"

namespace vantor::cli {

class StatusKeeper final : public platform::WindowLink {
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
