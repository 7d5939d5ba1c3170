// The totals beside the design's progress texts: "file 2 of 3, packet 17 of 60" while images go,
// the address being tried while the drive is sought. Follows what the job shows (its status
// texts and the progress bar's range and position) and the number of images that Start checked.
// Plain C++, so that it is tested without a display.
#pragma once

#include <string>

namespace vantor::ui {

class JobProgress {
  public:
    // A job starts: nothing is known of it yet.
    void Begin();
    // The number of images the job will send, once they are checked.
    void SetFiles(int files) { files_ = files; }
    // A status text of the job: "Processing file" begins the next image.
    void OnStatus(const std::string& text);
    void OnRange(int low, int high);
    void OnPos(int pos);
    // What the progress bar says beside its bar; empty when there is nothing to say.
    std::string Text() const;

  private:
    int files_ = 0;  // 0: not known
    int file_ = 0;   // the image under way, from 1; 0 before the first
    bool image_range_pending_ = false;
    bool in_image_ = false;
    bool has_range_ = false;
    int high_ = 0;
    int pos_ = 0;
};

}  // namespace vantor::ui
