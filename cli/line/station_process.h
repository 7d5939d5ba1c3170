// One station of a production line runs as a vantor-cli child process of its own, so that
// a fault in one station (a crash, a hung adapter, a signal) never touches another. The parent
// reads the child's JSON event stream and its error stream through pipes, line by line, with
// every line bounded.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::cli {

// Splits a byte stream into lines of at most `max_line_bytes`; a longer line is dropped whole
// (and counted), so a child that writes without line ends cannot grow the parent's memory.
class LineSplitter {
  public:
    explicit LineSplitter(std::size_t max_line_bytes) : max_line_bytes_(max_line_bytes) {}
    // Hands every complete line in `bytes` (without its line end) to `on_line`.
    void Feed(std::string_view bytes, const std::function<void(std::string_view)>& on_line);
    std::size_t DroppedLines() const { return dropped_lines_; }

  private:
    std::size_t max_line_bytes_;
    std::string partial_;
    bool discarding_ = false;
    std::size_t dropped_lines_ = 0;
};

struct StationProcess {
    pid_t pid = -1;
    int events_fd = -1;  // the child's stdout, non-blocking
    int errors_fd = -1;  // the child's stderr, non-blocking
};

// Starts this program again (/proc/self/exe) with `arguments` (without the program name),
// stdin on /dev/null and stdout and stderr on pipes. The child has a process group of its own,
// so that Ctrl-C on the terminal reaches only the parent, which passes it on once; and it gets
// SIGTERM when the parent dies, so that no station runs on unwatched. Nothing, and `error`
// says why, when it cannot start.
std::optional<StationProcess> StartStationProcess(const std::vector<std::string>& arguments,
                                                  std::string* error);

// What a finished child came to, as wait4 reports it.
struct StationExit {
    bool exited = false;  // ended by itself with `status`
    int status = -1;
    int signal = 0;  // the signal that ended it, when it did not exit
    double cpu_s = 0;
    long max_rss_kib = 0;
};

// Reaps the child when it has ended; nothing while it runs.
std::optional<StationExit> ReapStation(pid_t pid);

// Reads what is waiting on `fd` into `splitter`; false once the writer has gone (or the read
// failed), and the descriptor is then closed and set to -1.
bool ReadStationStream(int& fd, LineSplitter& splitter,
                       const std::function<void(std::string_view)>& on_line);

}  // namespace vantor::cli
