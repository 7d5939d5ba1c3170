// The window link of the headless front end: every display change becomes a line of output.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/window_link.h"

namespace vantor::cli {

class ConsoleWindow final : public platform::WindowLink {
  public:
    explicit ConsoleWindow(std::FILE* out) : out_(out) {}

    void SetText(platform::Display display, const std::string& text) override;
    std::string GetText(platform::Display display) override;
    void SetProgressRange(int low, int high) override;
    void SetProgressPos(int pos) override;
    void MessageBox(const std::string& text, const std::string& caption,
                    platform::MessageIcon icon) override;
    void Post(int window, int message) override;
    void PostQuit() override;

  private:
    std::mutex mutex_;
    std::FILE* out_;
    std::string texts_[5];
};

}  // namespace vantor::cli
