// What Start will send, read and checked before the port is opened: the files list read whole
// (or the single image), and every image in it opened and checked as the download will check
// it, all but the drive's revision. A fault names the list, the line and the reason, so that no
// drive is switched into its boot loader, or given part of a set, for a file that could be known
// bad before. Plain C++: tested without a display.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "image/files_list.h"
#include "job/job.h"
#include "platform/window_link.h"

namespace vantor::ui {

// One image that Start will send.
struct PlannedImage {
    int line = 0;           // its line in the files list, from 1; 0 for the single image
    std::string line_text;  // the line as written (empty for the single image)
    FilesListEntry entry;   // its name and path, as the job splits the line
};

// What a window link was told while it was held back: shown later, in order, or never.
class HeldBackTexts final : public platform::WindowLink {
  public:
    void SetText(platform::Display display, const std::string& text) override;
    std::string GetText(platform::Display display) override;
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void MessageBox(const std::string& text, const std::string& caption,
                    platform::MessageIcon icon) override;
    void Post(int, int) override {}
    void PostQuit() override {}

    // The last status text or message box text.
    const std::string& LastSaid() const { return last_said_; }
    // Shows on `link`, in their order, the status texts and message boxes held back.
    void ShowOn(platform::WindowLink& link) const;

  private:
    struct Shown {
        std::string text;
        std::string caption;
        platform::MessageIcon icon = platform::MessageIcon::None;
        bool box = false;
    };
    std::string texts_[5];
    std::vector<Shown> shown_;
    std::string last_said_;
};

struct SendPlan {
    std::vector<PlannedImage> images;
    // Set when something that Start would send cannot go: the job's outcome for it, the words
    // that say which file and line and why, and the status texts of the check.
    std::optional<JobOutcome> fault;
    std::string cause;
    HeldBackTexts held;
};

// The images that Start will send, as far as the files list could be read.
struct PlannedImages {
    std::vector<PlannedImage> images;    // those read before the list broke off
    std::optional<std::string> problem;  // why the list cannot be read (opened, or to its end)
};

// The images that Start will send, as the job reads the files list (or the single image when
// `image_path` is given), without checking them.
PlannedImages ReadPlannedImages(const std::string& image_path, const std::string& files_list_path);

// A line of the files list that the Advanced dialog's loader refuses, with the rule it breaks.
struct RefusedLine {
    int number = 0;    // from 1
    std::string text;  // as written, without its line end
    std::string rule;  // "a line holds at most 128 characters", ...
};

// The lines of the files list at `path` that the dialog's loader refuses, read again after the
// loader has read it, to name them; empty when the file cannot be read or holds more than the
// loader can take.
std::vector<RefusedLine> RefusedLines(const std::string& path);

// Reads the plan and checks every image in it before the drive is known. While it runs, the
// process's window link is the plan's own (HeldBackTexts): call it where nothing else reports.
void CheckSendPlan(const std::string& image_path, const std::string& files_list_path,
                   SendPlan& plan);

}  // namespace vantor::ui
