#include "platform/serial/round_trip.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace vantor::platform {

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kMaxSampleNs = RoundTripEstimate::kMaxAnswerDelayMs * kNsPerMs;

int CeilMs(std::int64_t ns) {
    return static_cast<int>((ns + kNsPerMs - 1) / kNsPerMs);
}

}  // namespace

void RoundTripEstimate::Start(const std::int64_t* samples_ns, int count) {
    if (count <= 0) {
        return;
    }
    const std::int64_t fastest =
        std::min(*std::min_element(samples_ns, samples_ns + count), kMaxSampleNs);
    mean_ns_ = std::max<std::int64_t>(fastest, 1);
    fastest_ns_ = mean_ns_;
    // Without a history the deviation is taken as a quarter of the round trip, so that the
    // first windows allow twice the round trip.
    deviation_ns_ = mean_ns_ / 4;
    suspect_ns_ = 0;
}

void RoundTripEstimate::Add(std::int64_t sample_ns) {
    sample_ns = std::clamp<std::int64_t>(sample_ns, 1, kMaxSampleNs);
    if (!Known()) {
        Start(&sample_ns, 1);
        return;
    }
    fastest_ns_ = std::min(fastest_ns_, sample_ns);
    if (sample_ns > mean_ns_ + WindowNs()) {
        if (suspect_ns_ == 0) {
            suspect_ns_ = sample_ns;
            return;
        }
        Take(std::exchange(suspect_ns_, 0));
    } else {
        suspect_ns_ = 0;
    }
    Take(sample_ns);
}

// The smoothing of TCP's retransmission timer: the mean moves by an eighth of the error, the
// deviation by a quarter of its own.
void RoundTripEstimate::Take(std::int64_t sample_ns) {
    const std::int64_t error = sample_ns - mean_ns_;
    deviation_ns_ += (std::abs(error) - deviation_ns_) / 4;
    mean_ns_ = std::max<std::int64_t>(mean_ns_ + error / 8, 1);
}

std::int64_t RoundTripEstimate::WindowNs() const {
    return std::max(4 * deviation_ns_, std::int64_t{kMinSpreadMs} * kNsPerMs);
}

int RoundTripEstimate::MeanMs() const {
    return Known() ? CeilMs(mean_ns_) : 0;
}

int RoundTripEstimate::FastestMs() const {
    return static_cast<int>(fastest_ns_ / kNsPerMs);
}

int RoundTripEstimate::AnswerDelayMs() const {
    return Known() ? std::min(CeilMs(mean_ns_ + WindowNs()), kMaxAnswerDelayMs) : 0;
}

}  // namespace vantor::platform
