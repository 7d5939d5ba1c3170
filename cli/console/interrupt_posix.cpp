#include "cli/console/interrupt.h"

#include <unistd.h>

#include <csignal>

namespace vantor::cli {

namespace {

std::atomic<int> g_signal{0};
std::atomic<std::atomic<int>*> g_stop{nullptr};

static_assert(std::atomic<int>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

void OnStopSignal(int signal_number) {
    if (g_signal.exchange(signal_number) != 0) {
        // The operator asked twice: no more waiting for the job.
        ::_exit(128 + signal_number);
    }
    if (std::atomic<int>* stop = g_stop.load(); stop != nullptr) {
        stop->store(1);
    }
}

void Handle(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // The line's system calls go on after the handler; the job looks at the flag between its
    // operations.
    action.sa_flags = SA_RESTART;
    ::sigaction(signal_number, &action, nullptr);
}

}  // namespace

void InstallStopHandlers(std::atomic<int>* stop) {
    g_stop.store(stop);
    Handle(SIGINT, OnStopSignal);
    Handle(SIGTERM, OnStopSignal);
}

void RemoveStopHandlers() {
    Handle(SIGINT, SIG_DFL);
    Handle(SIGTERM, SIG_DFL);
    g_stop.store(nullptr);
}

int StopSignal() {
    return g_signal.load();
}

}  // namespace vantor::cli
