// The interruptions' state and what each does, the same on every system; platform/interruptions.h
// installs the handlers that feed it.
#include "platform/stop_handlers.h"

#include <cstdlib>

#include "platform/interruptions.h"

namespace vantor::platform {

namespace {

std::atomic<int> g_stop_signal{0};
std::atomic<int> g_stops{0};
std::atomic<std::atomic<int>*> g_stop{nullptr};
std::atomic<int> g_first_counted{0};
std::atomic<int> g_counted{0};

static_assert(std::atomic<int>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

// A run's interruption: the first sets the stop flag; the second abandons the line, so that
// the operation under way ends at once and the run still closes its port, its traffic log and
// its record; a third ends the process at once with 128 + its number.
void ReactToStopSignal(int signal_number) {
    int none = 0;
    g_stop_signal.compare_exchange_strong(none, signal_number);
    if (g_stops.fetch_add(1) + 1 >= 3) {
        std::_Exit(128 + signal_number);
    }
    if (std::atomic<int>* stop = g_stop.load(); stop != nullptr) {
        stop->store(1);
    }
}

// A production line's: counted, the first one's number kept.
void ReactToCountedSignal(int signal_number) {
    int none = 0;
    g_first_counted.compare_exchange_strong(none, signal_number);
    g_counted.fetch_add(1);
}

}  // namespace

void InstallStopHandlers(std::atomic<int>* stop) {
    g_stop.store(stop);
    // The serial line's system calls go on after the handler; the job looks at the flag between
    // its operations.
    platform::CatchInterruptions(ReactToStopSignal, platform::InterruptedCalls::kResume);
}

void RemoveStopHandlers() {
    platform::ReleaseInterruptions();
    g_stop.store(nullptr);
}

int StopSignal() {
    return g_stop_signal.load();
}

bool LineAbandoned() {
    return g_stops.load() >= 2;
}

void InstallCountingHandlers() {
    // The line's wait returns at once and passes the signal on.
    platform::CatchInterruptions(ReactToCountedSignal, platform::InterruptedCalls::kCutShort);
}

void RemoveCountingHandlers() {
    platform::ReleaseInterruptions();
}

int CountedInterruptions() {
    return g_counted.load();
}

int FirstCountedSignal() {
    return g_first_counted.load();
}

}  // namespace vantor::platform
