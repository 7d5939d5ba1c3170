// The interruptions' state, the same on every system; the handlers that feed it are the systems'
// own.
#include <cstdlib>

#include "cli/console/interrupt.h"
#include "cli/console/interrupt_reactions.h"

namespace vantor::cli {

namespace {

std::atomic<int> g_stop_signal{0};
std::atomic<std::atomic<int>*> g_stop{nullptr};
std::atomic<int> g_first_counted{0};
std::atomic<int> g_counted{0};

static_assert(std::atomic<int>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

}  // namespace

void ReactToStopSignal(int signal_number) {
    if (g_stop_signal.exchange(signal_number) != 0) {
        // The operator asked twice: no more waiting for the job.
        std::_Exit(128 + signal_number);
    }
    if (std::atomic<int>* stop = g_stop.load(); stop != nullptr) {
        stop->store(1);
    }
}

void ReactToCountedSignal(int signal_number) {
    int none = 0;
    g_first_counted.compare_exchange_strong(none, signal_number);
    g_counted.fetch_add(1);
}

void SetStopFlag(std::atomic<int>* stop) {
    g_stop.store(stop);
}

int StopSignal() {
    return g_stop_signal.load();
}

int CountedInterruptions() {
    return g_counted.load();
}

int FirstCountedSignal() {
    return g_first_counted.load();
}

}  // namespace vantor::cli
