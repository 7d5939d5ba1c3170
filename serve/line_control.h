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
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vantor::cli {

// What an HTTP request comes to: its status and its JSON body.
struct Answer {
    int status = 200;
    std::string body;
};

struct LineRequest {
    enum class Action { kStart, kStop };
    Action action = Action::kStart;
    std::optional<std::size_t> station;  // nothing: every station
    std::promise<Answer> answer;
};

// What the loop last published.
struct LineSnapshot {
    std::string stations;                   // the JSON array of /api/stations
    std::string state;                      // the live stream's object: the line and its stations
    std::vector<std::string> traffic_logs;  // per station: its last run's log, or ""
    std::string metrics;                    // the text of /metrics
};

class LineControl {
  public:
    explicit LineControl(std::size_t stations) : stations_(stations) {}

    std::size_t Stations() const { return stations_; }

    // From an HTTP thread: the loop's answer to the request, or 503 when the loop has too many
    // requests waiting, has stopped taking them, or does not answer within `bound`.
    Answer Ask(LineRequest::Action action, std::optional<std::size_t> station,
               std::chrono::milliseconds bound);
    LineSnapshot Snapshot() const;

    // From the loop: the requests that came since the last call, waiting up to `bound` for one
    // when none has.
    std::vector<std::unique_ptr<LineRequest>> Take(std::chrono::milliseconds bound);
    void Publish(LineSnapshot snapshot);
    // No request is taken from now on; those waiting are answered 503.
    void Close();

  private:
    const std::size_t stations_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::unique_ptr<LineRequest>> requests_;
    LineSnapshot snapshot_;
    bool closed_ = false;
};

}  // namespace vantor::cli
