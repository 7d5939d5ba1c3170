#include "serve/line_metrics.h"

#include <algorithm>
#include <cstdio>

namespace vantor::serve {

namespace {

constexpr std::array<const char*, 4> kEnds = {"success", "warned", "failed", "stopped"};
constexpr std::array<const char*, 7> kStates = {"idle",   "running", "stopping", "success",
                                                "warned", "stopped", "failed"};

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

void Head(std::string& text, const char* name, const char* type, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

void LineMetrics::RunEnded(const std::string& state, double duration_s, std::uint64_t bytes) {
    const auto end = std::find(kEnds.begin(), kEnds.end(), state);
    if (end == kEnds.end()) {
        return;
    }
    ++runs_[static_cast<std::size_t>(end - kEnds.begin())];
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        below_[i] += duration_s <= kBuckets[i] ? 1 : 0;
    }
    ++durations_;
    duration_sum_s_ += duration_s;
    bytes_ended_ += bytes;
}

std::string LineMetrics::Text(const std::vector<std::string>& states,
                              std::uint64_t running_bytes) const {
    std::string text;
    Head(text, "vantor_runs_total", "counter",
         "Runs ended since the server started, by how they ended (stopped: by the operator).");
    for (std::size_t i = 0; i < kEnds.size(); ++i) {
        text += std::string("vantor_runs_total{result=\"") + kEnds[i] + "\"} " +
                std::to_string(runs_[i]) + "\n";
    }
    Head(text, "vantor_run_duration_seconds", "histogram",
         "How long the ended runs took, from their start to their end.");
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        text += "vantor_run_duration_seconds_bucket{le=\"" + Number(kBuckets[i]) + "\"} " +
                std::to_string(below_[i]) + "\n";
    }
    text += "vantor_run_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(durations_) +
            "\nvantor_run_duration_seconds_sum " + Number(duration_sum_s_) +
            "\nvantor_run_duration_seconds_count " + std::to_string(durations_) + "\n";
    Head(text, "vantor_stations", "gauge", "The line's stations by their state now.");
    for (const char* state : kStates) {
        text += std::string("vantor_stations{state=\"") + state + "\"} " +
                std::to_string(std::count(states.begin(), states.end(), state)) + "\n";
    }
    Head(text, "vantor_bytes_sent_total", "counter",
         "Bytes sent to the drives since the server started.");
    text += "vantor_bytes_sent_total " + std::to_string(bytes_ended_ + running_bytes) + "\n";
    Head(text, "vantor_history_write_failures_total", "counter",
         "Runs whose record the history could not keep.");
    text += "vantor_history_write_failures_total " + std::to_string(history_failures_) + "\n";
    return text;
}

}  // namespace vantor::serve
