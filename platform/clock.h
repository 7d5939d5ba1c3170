// The process clock. Every wait of the link and every reading of time in the core goes through
// it, so a test can swap in a virtual clock and run a whole job, breaks and 5000-poll waits
// included, in microseconds and the same way every time.
#pragma once

#include <atomic>
#include <cstdint>

namespace vantor::platform {

class Clock {
  public:
    virtual ~Clock() = default;
    // Nanoseconds since an arbitrary fixed origin; never goes backwards.
    virtual std::int64_t NowNs() = 0;
    // Suspends the calling thread (real clock) or moves time on (virtual clock).
    virtual void SleepNs(std::int64_t ns) = 0;
    // True when time passes by itself; a virtual clock moves only when slept on.
    virtual bool IsReal() const = 0;
};

// Steady wall-clock time; sleeping suspends the thread.
class RealClock final : public Clock {
  public:
    std::int64_t NowNs() override;
    void SleepNs(std::int64_t ns) override;
    bool IsReal() const override { return true; }
};

// Time that advances only when a thread sleeps on it. Sleeping returns at once.
class VirtualClock final : public Clock {
  public:
    explicit VirtualClock(std::int64_t start_ns = 0) : now_ns_(start_ns) {}
    std::int64_t NowNs() override { return now_ns_.load(std::memory_order_acquire); }
    void SleepNs(std::int64_t ns) override;
    bool IsReal() const override { return false; }
    // Moves time on without a sleeper, as if another party waited.
    void Advance(std::int64_t ns) { SleepNs(ns); }

  private:
    std::atomic<std::int64_t> now_ns_;
};

// The process clock: a real clock unless a test installed another.
Clock& ProcessClock();
// Installs `clock` as the process clock (nullptr restores the real one); returns the previous.
Clock* SetProcessClock(Clock* clock);

// Installs a clock for the lifetime of the object and restores the previous one afterwards.
class ScopedClock {
  public:
    explicit ScopedClock(Clock& clock) : previous_(SetProcessClock(&clock)) {}
    ~ScopedClock() { SetProcessClock(previous_); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

  private:
    Clock* previous_;
};

// Output that a device holds back to send in fewer, larger pieces. Held output never outlives
// its writer's next wait: Sleep sends it first, so a byte is never late by more than the time
// its writer spends without waiting.
class HeldOutput {
  public:
    virtual void SendHeldOutput() = 0;

  protected:
    ~HeldOutput() = default;
};
// Notes that `holder` holds output written on this thread; the next Sleep on this thread sends
// it. A second holder on the same thread sends the first one's output at once.
void HoldOutputUntilSleep(HeldOutput* holder);
// Forgets `holder` when it is the one noted on this thread (it sent its output, or it closes).
void ForgetHeldOutput(HeldOutput* holder);

// Sends the output held on this thread now, as every wait does before it begins.
void ReleaseHeldOutput();
// Suspends the calling thread for `ms` milliseconds on the process clock, after sending the
// output held on this thread.
void Sleep(int ms);
// Milliseconds and nanoseconds on the process clock.
std::int64_t NowMs();
std::int64_t NowNs();

}  // namespace vantor::platform
