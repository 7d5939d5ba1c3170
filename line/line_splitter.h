// A station's output streams as lines: the parent reads the child's JSON event stream and its
// error stream line by line, with every line bounded.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace vantor::line {

using LineHandler = std::function<void(std::string_view)>;

// Splits a byte stream into lines of at most `max_line_bytes`; a longer line is dropped whole
// (and counted), so a child that writes without line ends cannot grow the parent's memory.
class LineSplitter {
  public:
    explicit LineSplitter(std::size_t max_line_bytes) : max_line_bytes_(max_line_bytes) {}
    // Hands every complete line in `bytes` (without its line end) to `on_line`.
    void Feed(std::string_view bytes, const LineHandler& on_line);
    std::size_t DroppedLines() const { return dropped_lines_; }

  private:
    std::size_t max_line_bytes_;
    std::string partial_;
    bool discarding_ = false;
    std::size_t dropped_lines_ = 0;
};

}  // namespace vantor::line
