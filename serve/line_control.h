// Between the HTTP threads and the line's loop: the threads ask for stations to be started or
// stopped and wait, with a bound, for the loop's answer; the loop takes the requests between
// its rounds and publishes what the stations are doing. Neither side waits on the other for
// longer than a bound: the loop never waits on an HTTP client.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "records/unit_fields.h"

namespace vantor::serve {

// What an HTTP request comes to: its status and its JSON body.
struct Answer {
    int status = 200;
    std::string body;
};

// What a start says of the unit a station is to download to (its serial, the operator, the
// order); a field left empty is not said.
using RunLabels = records::UnitFields;

struct LineRequest {
    enum class Action { kStart, kStop };
    Action action = Action::kStart;
    std::optional<std::size_t> station;  // nothing: every station
    RunLabels labels;                    // of a start
    std::promise<Answer> answer;
};

// A run that a start began, as the loop last published it.
struct RunView {
    std::string json;  // the object of /api/runs/{id}
    bool done = false;
};

// What the loop last published.
struct LineSnapshot {
    std::string stations;                   // the JSON array of /api/stations
    std::string state;                      // the live stream's object: the line and its stations
    std::vector<std::string> traffic_logs;  // per station: its last run's log, or ""
    std::string metrics;                    // the text of /metrics
    std::vector<std::string> station;       // per station: its object of /api/stations
};

class LineControl {
  public:
    explicit LineControl(std::size_t stations) : stations_(stations) {}

    std::size_t Stations() const { return stations_; }

    // From an HTTP thread: the loop's answer to the request, or 503 when the loop has too many
    // requests waiting, has stopped taking them, or does not answer within `bound`.
    Answer Ask(LineRequest::Action action, std::optional<std::size_t> station,
               std::chrono::milliseconds bound, RunLabels labels = {});
    LineSnapshot Snapshot() const;
    // The run `id` as last published; nothing when this server does not know it (any more).
    std::optional<RunView> Run(const std::string& id) const;
    // The same once the run has ended, or when `bound` has passed, or the line closes. Nothing
    // too when `most_waiting` callers wait already: `busy` then says so.
    std::optional<RunView> WaitForRun(const std::string& id, std::chrono::milliseconds bound,
                                      std::size_t most_waiting, bool& busy);

    // From the loop: the requests that came since the last call, waiting up to `bound` for one
    // when none has.
    std::vector<std::unique_ptr<LineRequest>> Take(std::chrono::milliseconds bound);
    void Publish(LineSnapshot snapshot);
    // A run's latest view; the oldest runs are forgotten beyond kMostRuns.
    void PublishRun(const std::string& id, RunView view);
    // No request is taken from now on; those waiting are answered 503.
    void Close();

    static constexpr std::size_t kMostRuns = 1000;

  private:
    const std::size_t stations_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::unique_ptr<LineRequest>> requests_;
    LineSnapshot snapshot_;
    std::map<std::string, RunView> runs_;
    std::deque<std::string> run_order_;  // the runs' ids, oldest first
    std::condition_variable run_changed_;
    std::size_t waiting_for_runs_ = 0;
    bool closed_ = false;
};

}  // namespace vantor::serve
