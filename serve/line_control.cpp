#include "serve/line_control.h"

#include "records/json_writer.h"

namespace vantor::serve {

namespace {

// Requests waiting for the loop at most; a client that sends more waits for none of them.
constexpr std::size_t kMostWaitingRequests = 64;

Answer Unavailable(const std::string& why) {
    return {503, records::JsonObject().String("error", why).Text()};
}

}  // namespace

Answer LineControl::Ask(LineRequest::Action action, std::optional<std::size_t> station,
                        std::chrono::milliseconds bound, RunLabels labels) {
    auto request = std::make_unique<LineRequest>();
    request->action = action;
    request->station = station;
    request->labels = std::move(labels);
    std::future<Answer> answer = request->answer.get_future();
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return Unavailable("the line is shutting down");
        }
        if (requests_.size() >= kMostWaitingRequests) {
            return Unavailable("too many requests are waiting for the line; try again");
        }
        requests_.push_back(std::move(request));
    }
    arrived_.notify_one();
    if (answer.wait_for(bound) != std::future_status::ready) {
        return Unavailable("the line did not answer in time");
    }
    return answer.get();
}

LineSnapshot LineControl::Snapshot() const {
    std::lock_guard lock(mutex_);
    return snapshot_;
}

std::optional<RunView> LineControl::Run(const std::string& id) const {
    std::lock_guard lock(mutex_);
    const auto found = runs_.find(id);
    return found == runs_.end() ? std::nullopt : std::optional<RunView>(found->second);
}

std::optional<RunView> LineControl::WaitForRun(const std::string& id,
                                               std::chrono::milliseconds bound,
                                               std::size_t most_waiting, bool& busy) {
    std::unique_lock lock(mutex_);
    busy = false;
    auto found = runs_.find(id);
    if (found == runs_.end() || found->second.done || bound.count() <= 0) {
        return found == runs_.end() ? std::nullopt : std::optional<RunView>(found->second);
    }
    if (waiting_for_runs_ >= most_waiting) {
        busy = true;
        return std::nullopt;
    }
    ++waiting_for_runs_;
    run_changed_.wait_for(lock, bound, [&] {
        found = runs_.find(id);
        return closed_ || found == runs_.end() || found->second.done;
    });
    --waiting_for_runs_;
    found = runs_.find(id);
    return found == runs_.end() ? std::nullopt : std::optional<RunView>(found->second);
}

void LineControl::PublishRun(const std::string& id, RunView view) {
    {
        std::lock_guard lock(mutex_);
        const auto [place, added] = runs_.insert_or_assign(id, std::move(view));
        (void)place;
        if (added) {
            run_order_.push_back(id);
            if (run_order_.size() > kMostRuns) {
                runs_.erase(run_order_.front());
                run_order_.pop_front();
            }
        }
    }
    run_changed_.notify_all();
}

std::vector<std::unique_ptr<LineRequest>> LineControl::Take(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, bound, [this] { return !requests_.empty() || closed_; });
    std::vector<std::unique_ptr<LineRequest>> taken;
    while (!requests_.empty()) {
        taken.push_back(std::move(requests_.front()));
        requests_.pop_front();
    }
    return taken;
}

void LineControl::Publish(LineSnapshot snapshot) {
    std::lock_guard lock(mutex_);
    snapshot_ = std::move(snapshot);
}

void LineControl::Close() {
    std::deque<std::unique_ptr<LineRequest>> left;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        left.swap(requests_);
    }
    for (auto& request : left) {
        request->answer.set_value(Unavailable("the line is shutting down"));
    }
    arrived_.notify_all();
    run_changed_.notify_all();
}

}  // namespace vantor::serve
