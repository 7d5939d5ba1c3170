#include "cli/console/live_line.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace vantor::cli {

namespace {

constexpr const char* kSeekText = "Seeking drives";
constexpr int kBarCells = 24;
constexpr double kNsPerSecond = 1e9;
constexpr int kTenths = 10;

std::string Bar(int low, int high, int position) {
    const int span = std::max(high - low, 1);
    const int filled = std::clamp((position - low) * kBarCells / span, 0, kBarCells);
    return "[" + std::string(filled, '#') + std::string(kBarCells - filled, '.') + "]";
}

// The parts joined by `gap`, leaving out the empty ones.
std::string Joined(const std::vector<std::string>& parts, const std::string& gap) {
    std::string text;
    for (const std::string& part : parts) {
        if (!part.empty()) {
            text += (text.empty() ? "" : gap) + part;
        }
    }
    return text;
}

}  // namespace

std::string RoundedMinutesSeconds(double seconds) {
    const long whole = static_cast<long>(std::max(seconds, 0.0) + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

std::string ClosingLine(std::uint64_t bytes, std::int64_t elapsed_ns, std::size_t columns) {
    const double seconds = static_cast<double>(elapsed_ns) / kNsPerSecond;
    const std::string time = RoundedMinutesSeconds(seconds);
    const std::string rate =
        seconds > 0.0
            ? std::to_string(static_cast<long>(static_cast<double>(bytes) / seconds)) + " B/s"
            : "";
    const std::string line = "sent " + std::to_string(bytes) + " bytes in " + time +
                             (rate.empty() ? "" : ", " + rate + " on average");
    // A narrow terminal gets the three figures alone.
    return line.size() <= columns ? line
                                  : Joined({std::to_string(bytes) + " bytes", time, rate}, ", ");
}

void LiveLine::Range(int low, int high, std::int64_t now_ns, std::uint64_t bytes) {
    shown_ = true;
    seeking_ = status_.rfind(kSeekText, 0) == 0;
    low_ = low;
    high_ = high;
    position_ = low;
    previous_position_ = low;
    range_ns_ = now_ns;
    range_bytes_ = bytes;
    first_packet_ns_ = -1;
}

void LiveLine::Position(int position, std::int64_t now_ns) {
    previous_position_ = position_;
    position_ = position;
    if (position == low_ + 1 && first_packet_ns_ < 0) {
        first_packet_ns_ = now_ns;
    }
}

std::string LiveLine::Count() const {
    return std::to_string(position_) + "/" + std::to_string(high_);
}

std::string LiveLine::Rate(std::int64_t now_ns, std::uint64_t bytes) const {
    const double seconds = static_cast<double>(now_ns - range_ns_) / kNsPerSecond;
    const std::uint64_t sent = bytes - std::min(bytes, range_bytes_);
    if (sent == 0 || seconds <= 0.0) {
        return "";
    }
    return std::to_string(static_cast<long>(static_cast<double>(sent) / seconds)) + " B/s";
}

// The packets still to go (the one on the line among them) at the rate measured since the first
// went out.
std::string LiveLine::TimeLeft(std::int64_t now_ns) const {
    const int done = position_ - low_ - 1;
    if (first_packet_ns_ < 0 || done <= 0) {
        return "";
    }
    const double seconds = static_cast<double>(now_ns - first_packet_ns_) / kNsPerSecond;
    return "ETA " + RoundedMinutesSeconds(seconds / done * (high_ - position_ + 1));
}

// "address 12 of 0-31, drive at address 5", then "32 addresses tried" once the last is.
std::string LiveLine::SeekText() const {
    const std::string tried = position_ >= high_
                                  ? std::to_string(high_ - low_ + 1) + " addresses tried"
                                  : "address " + std::to_string(position_) + " of " +
                                        std::to_string(low_) + "-" + std::to_string(high_);
    return Joined({tried, address_.empty() ? "" : "drive at address " + address_}, ", ");
}

std::string LiveLine::Numbers(std::int64_t now_ns, std::uint64_t bytes) const {
    return Joined({Count(), Rate(now_ns, bytes), TimeLeft(now_ns)}, "  ");
}

bool LiveLine::AtNewTenth() const {
    const int span = std::max(high_ - low_, 1);
    return position_ == low_ + 1 || position_ >= high_ ||
           (position_ - low_) * kTenths / span != (previous_position_ - low_) * kTenths / span;
}

std::string LiveLine::Text(std::int64_t now_ns, std::uint64_t bytes, std::size_t columns) const {
    std::vector<std::string> choices;
    if (!shown_) {
        choices = {status_};
    } else if (seeking_) {
        choices = {status_ + " " + SeekText(), SeekText()};
    } else {
        const std::string count = Count();
        const std::string rate = Rate(now_ns, bytes);
        const std::string left = TimeLeft(now_ns);
        // The widest first; a narrower terminal loses the bar, then the stage's words, then
        // the rate: the count and the time left stay longest.
        choices = {
            Joined({status_ + " " + Bar(low_, high_, position_) + " " + count, rate, left}, "  "),
            Joined({status_ + " " + count, rate, left}, "  "), Joined({count, rate, left}, "  "),
            Joined({count, left}, "  ")};
    }
    for (const std::string& choice : choices) {
        if (choice.size() <= columns) {
            return choice;
        }
    }
    return choices.back().substr(0, columns);
}

}  // namespace vantor::cli
