// The live line of a run on a terminal, made from what the job has shown and the clock's
// readings alone: no output of its own, so that a test can feed it the times and the widths an
// operator would meet. The packets show a bar, their count, the rate on the line and the time
// left; the seek shows the addresses it has tried and the drive that answered; a narrow
// terminal keeps the numbers and loses the bar first.
#pragma once

#include <cstdint>
#include <string>

namespace vantor::cli {

class LiveLine {
  public:
    // The status line's text ("Seeking drives...", "Downloading packet 4").
    void Status(const std::string& text) { status_ = text; }
    // The address display: the drive that answered the seek.
    void Address(const std::string& text) { address_ = text; }
    // A progress range begins at `now_ns` with `bytes` written to the line so far; it counts
    // addresses when it begins during the seek, else packets.
    void Range(int low, int high, std::int64_t now_ns, std::uint64_t bytes);
    // Progress stands at `position`: the address being tried, or the packet being sent.
    void Position(int position, std::int64_t now_ns);

    bool HasProgress() const { return shown_; }
    // The line for a terminal `columns` wide, at `now_ns` with `bytes` written to the line.
    std::string Text(std::int64_t now_ns, std::uint64_t bytes, std::size_t columns) const;
    // The packets' numbers without the bar, for a terminal that cannot redraw a line:
    // "4/8  898 B/s  ETA 0:01".
    std::string Numbers(std::int64_t now_ns, std::uint64_t bytes) const;
    // True when `position` is the first of a new tenth of the packets (or the last packet):
    // where a terminal that cannot redraw shows them.
    bool AtNewTenth() const;

  private:
    std::string Count() const;
    std::string Rate(std::int64_t now_ns, std::uint64_t bytes) const;
    std::string TimeLeft(std::int64_t now_ns) const;
    std::string SeekText() const;

    std::string status_;
    std::string address_;
    bool shown_ = false;
    bool seeking_ = false;
    int low_ = 0;
    int high_ = 0;
    int position_ = 0;
    int previous_position_ = 0;
    std::int64_t range_ns_ = 0;
    std::uint64_t range_bytes_ = 0;
    // When the first packet of the range went out: the rate that the time left is made from
    // counts from there.
    std::int64_t first_packet_ns_ = -1;
};

// "0:07", "12:34": seconds, rounded, as minutes and seconds.
std::string RoundedMinutesSeconds(double seconds);

// The closing line of a run: "sent 1234 bytes in 0:09, 137 B/s on average", or
// "1234 bytes, 0:09, 137 B/s" where `columns` are too few for it.
std::string ClosingLine(std::uint64_t bytes, std::int64_t elapsed_ns, std::size_t columns);

}  // namespace vantor::cli
