#include "link/answer_wait.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/serial/round_trip.h"

namespace vantor {

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

platform::SerialDevice* CurrentDevice() {
    SerialPort* port = CurrentPort();
    return port != nullptr ? port->device() : nullptr;
}

}  // namespace

AnswerWait::AnswerWait(int budget) : budget_(budget), begun_ms_(platform::NowMs()) {
    platform::SerialDevice* device = CurrentDevice();
    if (device != nullptr && !PortLost()) {
        start_fence_ = device->SendFence();
    }
}

bool AnswerWait::Next() {
    platform::SerialDevice* device = CurrentDevice();
    if (start_fence_ != 0 && device != nullptr) {
        return NextOnNetwork(*device);
    }
    // A serial line, or a server without fences: the budget and the round trip's allowance.
    if (polls_ < budget_ + PortAnswerDelayMs()) {
        ++polls_;
        return true;
    }
    return false;
}

bool AnswerWait::NextOnNetwork(platform::SerialDevice& device) {
    const std::int64_t now_ms = platform::NowMs();
    if (PortLost()) {
        return false;
    }
    if (start_answered_ms_ < 0 && device.FenceAnswered(start_fence_)) {
        start_answered_ms_ = now_ms;
    }
    if (polls_ < budget_) {
        ++polls_;
        return true;
    }
    if (now_ms - (begun_ms_ + budget_) > platform::RoundTripEstimate::kMaxAnswerDelayMs) {
        return false;  // the server stopped answering, or the network is too slow to use
    }
    if (end_fence_budget_ != budget_) {
        // The server had the drive's part about a one-way trip before its answer came here;
        // the end fence reaches it a one-way trip after it leaves.
        const int fastest_ms = device.Condition().fastest_round_trip_ms;
        if (start_answered_ms_ < 0 || now_ms < start_answered_ms_ + budget_ - fastest_ms) {
            ++polls_;
            return true;
        }
        end_fence_ = device.SendFence();
        end_fence_budget_ = budget_;
        if (end_fence_ == 0) {
            return false;
        }
    }
    if (device.FenceAnswered(end_fence_)) {
        return false;
    }
    ++polls_;
    return true;
}

bool AnswerWait::Pause() {
    platform::SerialDevice* device = CurrentDevice();
    if (device == nullptr || !device->AwaitsInput()) {
        if (!Next()) {
            return false;
        }
        platform::Sleep(1);
        return true;
    }
    const int due_ms = DueMs(*device);
    if (due_ms < 0) {
        return false;
    }
    const std::int64_t before_ns = platform::NowNs();
    device->AwaitInput(due_ms);
    slept_ns_ += platform::NowNs() - before_ns;
    polls_ = std::max(polls_, static_cast<int>(slept_ns_ / kNsPerMs));
    return true;
}

int AnswerWait::DueMs(platform::SerialDevice& device) {
    if (PortLost()) {
        return -1;
    }
    if (start_fence_ != 0) {
        return NetworkDueMs(device);
    }
    const int polls = budget_ + PortAnswerDelayMs();
    return polls_ < polls ? polls - polls_ : -1;
}

// The steps of NextOnNetwork, each with the time until it is due; what the server answers
// (the fences) wakes the wait as the drive's bytes do.
int AnswerWait::NetworkDueMs(platform::SerialDevice& device) {
    const std::int64_t now_ms = platform::NowMs();
    if (start_answered_ms_ < 0 && device.FenceAnswered(start_fence_)) {
        start_answered_ms_ = now_ms;
    }
    if (polls_ < budget_) {
        return budget_ - polls_;
    }
    const std::int64_t give_up_ms =
        begun_ms_ + budget_ + platform::RoundTripEstimate::kMaxAnswerDelayMs;
    if (now_ms > give_up_ms) {
        return -1;  // the server stopped answering, or the network is too slow to use
    }
    const int until_give_up_ms = static_cast<int>(give_up_ms - now_ms) + 1;
    if (end_fence_budget_ != budget_) {
        if (start_answered_ms_ < 0) {
            return until_give_up_ms;  // its answer wakes the wait
        }
        const int fastest_ms = device.Condition().fastest_round_trip_ms;
        const std::int64_t end_fence_ms = start_answered_ms_ + budget_ - fastest_ms;
        if (now_ms < end_fence_ms) {
            return static_cast<int>(
                std::min<std::int64_t>(end_fence_ms - now_ms, until_give_up_ms));
        }
        end_fence_ = device.SendFence();
        end_fence_budget_ = budget_;
        if (end_fence_ == 0) {
            return -1;
        }
    }
    return device.FenceAnswered(end_fence_) ? -1 : until_give_up_ms;
}

void AnswerWait::Finish() {
    polls_ = std::max(polls_, budget_);
    slept_ns_ = std::max(slept_ns_, static_cast<std::int64_t>(budget_) * kNsPerMs);
    while (Pause()) {
    }
}

}  // namespace vantor
