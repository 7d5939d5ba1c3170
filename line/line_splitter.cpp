#include "line/line_splitter.h"

namespace vantor::line {

void LineSplitter::Feed(std::string_view bytes, const LineHandler& on_line) {
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (!discarding_) {
            if (partial_.size() + piece.size() > max_line_bytes_) {
                discarding_ = true;
                partial_.clear();
            } else {
                partial_.append(piece);
            }
        }
        if (end == std::string_view::npos) {
            return;
        }
        if (discarding_) {
            ++dropped_lines_;
        } else {
            on_line(partial_);
        }
        partial_.clear();
        discarding_ = false;
        bytes.remove_prefix(end + 1);
    }
}

}  // namespace vantor::line
