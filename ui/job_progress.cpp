#include "ui/job_progress.h"

namespace vantor::ui {

void JobProgress::Begin() {
    *this = JobProgress{};
}

void JobProgress::OnStatus(const std::string& text) {
    // The image download says this once for each image, before it sets the packets' range.
    if (text == "Processing file") {
        ++file_;
        image_range_pending_ = true;
        in_image_ = false;
    }
}

void JobProgress::OnRange(int /*low*/, int high) {
    has_range_ = true;
    high_ = high;
    // A range set outside an image is the seek's, over the 32 command-mode addresses.
    in_image_ = image_range_pending_;
    image_range_pending_ = false;
}

void JobProgress::OnPos(int pos) {
    pos_ = pos;
}

std::string JobProgress::Text() const {
    if (!has_range_) {
        return "";
    }
    if (!in_image_) {
        return file_ == 0 ? "seeking the drive: address " + std::to_string(pos_) : "";
    }
    std::string text;
    if (files_ > 1) {
        text = "file " + std::to_string(file_) + " of " + std::to_string(files_) + ", ";
    }
    return text + "packet " + std::to_string(pos_) + " of " + std::to_string(high_);
}

}  // namespace vantor::ui
