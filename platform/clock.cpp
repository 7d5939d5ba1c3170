#include "platform/clock.h"

#include <chrono>
#include <thread>
#include <utility>

namespace vantor::platform {

std::int64_t RealClock::NowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void RealClock::SleepNs(std::int64_t ns) {
    if (ns > 0) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
    }
}

void VirtualClock::SleepNs(std::int64_t ns) {
    if (ns > 0) {
        now_ns_.fetch_add(ns, std::memory_order_acq_rel);
    }
}

namespace {

RealClock g_real_clock;
std::atomic<Clock*> g_process_clock{&g_real_clock};

}  // namespace

Clock& ProcessClock() {
    return *g_process_clock.load(std::memory_order_acquire);
}

Clock* SetProcessClock(Clock* clock) {
    return g_process_clock.exchange(clock != nullptr ? clock : &g_real_clock,
                                    std::memory_order_acq_rel);
}

namespace {
thread_local HeldOutput* t_held_output = nullptr;
}  // namespace

void HoldOutputUntilSleep(HeldOutput* holder) {
    if (t_held_output != nullptr && t_held_output != holder) {
        std::exchange(t_held_output, nullptr)->SendHeldOutput();
    }
    t_held_output = holder;
}

void ForgetHeldOutput(HeldOutput* holder) {
    if (t_held_output == holder) {
        t_held_output = nullptr;
    }
}

void ReleaseHeldOutput() {
    if (t_held_output != nullptr) {
        std::exchange(t_held_output, nullptr)->SendHeldOutput();
    }
}

void Sleep(int ms) {
    ReleaseHeldOutput();
    ProcessClock().SleepNs(static_cast<std::int64_t>(ms) * 1'000'000);
}

std::int64_t NowMs() {
    return ProcessClock().NowNs() / 1'000'000;
}

std::int64_t NowNs() {
    return ProcessClock().NowNs();
}

}  // namespace vantor::platform
