// A network port's round trip as it is now, not as it was at open: every exchange with the
// server that is answered gives a sample, and the estimate keeps a smoothed mean and a mean
// deviation of them, as TCP does for its retransmission timer. The link's answer windows grow
// by what the estimate allows.
#pragma once

#include <cstdint>

namespace vantor::platform {

class RoundTripEstimate {
  public:
    // Beyond this an answer is not waited for: the drive's dialogue cannot work anyway, and a
    // window this long already costs a seek half a minute.
    static constexpr int kMaxAnswerDelayMs = 1000;
    // The least an estimate allows beyond its mean: a server's own polling and the load on
    // both ends vary by a few milliseconds whatever the network does.
    static constexpr int kMinSpreadMs = 10;

    // Starts the estimate from the exchanges made at open; the fastest of them is the truest,
    // since a lost packet only ever makes one slower. `count` may be 0 (nothing known yet).
    void Start(const std::int64_t* samples_ns, int count);
    // One more exchange. A sample beyond the current window is taken only when the next one
    // is also beyond it: one slow exchange (a lost packet, a busy moment) neither widens every
    // later window nor moves the mean, a network that became slower does both.
    void Add(std::int64_t sample_ns);

    bool Known() const { return mean_ns_ > 0; }
    // The smoothed round trip, rounded up to whole milliseconds; 0 while nothing is known.
    int MeanMs() const;
    // The fastest round trip of every sample taken, rounded down; 0 while nothing is known.
    int FastestMs() const;
    // How much later than on a serial line the drive's answers may arrive: the mean and four
    // deviations, at least kMinSpreadMs beyond the mean, at most kMaxAnswerDelayMs; 0 while
    // nothing is known.
    int AnswerDelayMs() const;

  private:
    void Take(std::int64_t sample_ns);
    std::int64_t WindowNs() const;

    std::int64_t mean_ns_ = 0;
    std::int64_t deviation_ns_ = 0;
    std::int64_t suspect_ns_ = 0;  // a sample beyond the window, waiting for the next one
    std::int64_t fastest_ns_ = 0;
};

}  // namespace vantor::platform
