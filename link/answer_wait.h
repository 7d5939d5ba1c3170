// The link's waits for the drive's answers, counted in the design's 1 ms polls.
#pragma once

#include <cstdint>

#include "link/serial_port.h"
#include "platform/serial/serial_device.h"

namespace vantor {

// One wait for the drive's answer on the current port, made right after what the drive answers
// was sent, counted in 1 ms polls: `budget` of them, as on a serial line. On a network port the
// drive's answer reaches this end a round trip late, and later still when the network loses a
// packet; so there the wait lasts until the server has given the drive the same time on its line.
// A first fence goes to the server when the wait begins; its answer says (within the fastest
// round trip) when the server had what the drive answers. Once the budget has passed both here
// and from then, an end fence goes out, and the wait ends with its answer, behind which comes
// everything the drive sent in that time, however slow the network was meanwhile (at most a
// second after the budget). Through a server that does not answer fences the budget grows by
// PortAnswerDelayMs().
//
// On a device that can wait for its input (platform::SerialDevice::AwaitsInput), Pause sleeps
// until something arrives or the wait's next step is due, and counts the milliseconds it slept
// as polls: a budget of N polls still lasts at least N ms when nothing arrives, and ends, as the
// polls would, at the first millisecond at which an answer is there.
class AnswerWait {
  public:
    explicit AnswerWait(int budget);
    // Counts one poll before the caller's 1 ms sleep: true while the wait goes on, false once
    // it is over. For a wait that must look every millisecond whatever arrives (for a break's
    // end, which nothing announces).
    bool Next();
    // One step of a wait for something to arrive: false once the wait is over; otherwise sleeps
    // a poll's millisecond, or on a device that can wait for its input until something arrives
    // or the wait's next step is due, and returns true for the caller to look.
    bool Pause();
    // Lengthens the wait by `polls`.
    void AddBudget(int polls) { budget_ += polls; }
    // Ends the wait as Pause would, with the budget taken as already slept (in one sleep).
    void Finish();

  private:
    bool NextOnNetwork(platform::SerialDevice& device);
    // The milliseconds until the wait's next step on a device that can wait for its input, or
    // -1 once the wait is over.
    int DueMs(platform::SerialDevice& device);
    int NetworkDueMs(platform::SerialDevice& device);

    int budget_;
    int polls_ = 0;
    // What Pause slept in all on a device that waits for its input; polls_ counts its whole
    // milliseconds there.
    std::int64_t slept_ns_ = 0;
    std::uint64_t start_fence_ = 0;  // 0: the port has no fences
    std::int64_t start_answered_ms_ = -1;
    std::uint64_t end_fence_ = 0;
    int end_fence_budget_ = -1;  // the budget that the end fence was sent for
    std::int64_t begun_ms_ = 0;
};

}  // namespace vantor
