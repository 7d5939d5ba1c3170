// The line's figures for Prometheus (GET /metrics, the text exposition format): the runs by
// how they ended and how long they took, the stations by state, the bytes sent to the drives
// and the records the history could not keep, all since the server started.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vantor::serve {

class LineMetrics {
  public:
    // A run that ended as `state` ("success", "warned", "failed" or "stopped") after
    // `duration_s`, having sent `bytes`.
    void RunEnded(const std::string& state, double duration_s, std::uint64_t bytes);
    void HistoryWriteFailed(long count) { history_failures_ += count; }

    // The text a scrape gets: `states` is each station's state now, `running_bytes` what the
    // runs under way have sent so far.
    std::string Text(const std::vector<std::string>& states, std::uint64_t running_bytes) const;

  private:
    static constexpr std::array<double, 9> kBuckets = {5, 10, 20, 30, 60, 120, 300, 600, 1800};

    std::array<long, 4> runs_{};  // success, warned, failed, stopped
    std::array<long, kBuckets.size()> below_{};
    long durations_ = 0;
    double duration_sum_s_ = 0;
    std::uint64_t bytes_ended_ = 0;
    long history_failures_ = 0;
};

}  // namespace vantor::serve
