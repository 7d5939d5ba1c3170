#include "sim/line_transcript.h"

#include <cinttypes>
#include <cstdio>

namespace vantor::sim {

void LineTranscript::Record(Edge edge, std::int64_t at_ns, int value) {
    if (events_.size() >= max_events_) {
        ++dropped_;
        return;
    }
    events_.push_back({edge, at_ns, value});
}

namespace {

std::string Describe(LineTranscript::Edge edge, int value) {
    using Edge = LineTranscript::Edge;
    char text[32];
    switch (edge) {
        case Edge::HostByte:
        case Edge::DriveByte: {
            const char* side = edge == Edge::HostByte ? "host " : "drive";
            if (value > 0x20 && value < 0x7F) {
                std::snprintf(text, sizeof text, "%s %02X '%c'", side, value, value);
            } else {
                std::snprintf(text, sizeof text, "%s %02X", side, value);
            }
            return text;
        }
        case Edge::HostBreakOn:
            return "host  break on";
        case Edge::HostBreakOff:
            return "host  break off";
        case Edge::DriveBreakOn:
            return "drive break on";
        case Edge::DriveBreakOff:
            return "drive break off";
        case Edge::HostPurgeTx:
            std::snprintf(text, sizeof text, "host  purge tx %d", value);
            return text;
        case Edge::HostPurgeRx:
            std::snprintf(text, sizeof text, "host  purge rx %d", value);
            return text;
    }
    return "?";
}

}  // namespace

std::vector<std::string> LineTranscript::Lines(std::int64_t origin_ns) const {
    std::vector<std::string> lines;
    lines.reserve(events_.size());
    for (const Event& event : events_) {
        const std::int64_t ns = event.at_ns - origin_ns;
        const char* sign = ns < 0 ? "-" : "";
        const std::int64_t magnitude = ns < 0 ? -ns : ns;
        char time[40];
        std::snprintf(time, sizeof time, "%s%" PRId64 ".%06" PRId64, sign, magnitude / 1'000'000,
                      magnitude % 1'000'000);
        char line[80];
        std::snprintf(line, sizeof line, "%12s %s", time,
                      Describe(event.edge, event.value).c_str());
        lines.emplace_back(line);
    }
    return lines;
}

}  // namespace vantor::sim
