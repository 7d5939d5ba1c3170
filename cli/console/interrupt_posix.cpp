#include "cli/console/interrupt.h"

#include <unistd.h>

#include <csignal>

namespace vantor::cli {

namespace {

std::atomic<int> g_signal{0};
std::atomic<std::atomic<int>*> g_stop{nullptr};
std::atomic<int> g_first_counted{0};
std::atomic<int> g_counted{0};

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

void OnCountedSignal(int signal_number) {
    if (g_first_counted.load() == 0) {
        g_first_counted.store(signal_number);
    }
    g_counted.fetch_add(1);
}

void Handle(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    ::sigaction(signal_number, &action, nullptr);
}

}  // namespace

void InstallStopHandlers(std::atomic<int>* stop) {
    g_stop.store(stop);
    // The serial line's system calls go on after the handler; the job looks at the flag between
    // its operations.
    Handle(SIGINT, OnStopSignal, SA_RESTART);
    Handle(SIGTERM, OnStopSignal, SA_RESTART);
}

void RemoveStopHandlers() {
    Handle(SIGINT, SIG_DFL, SA_RESTART);
    Handle(SIGTERM, SIG_DFL, SA_RESTART);
    g_stop.store(nullptr);
}

int StopSignal() {
    return g_signal.load();
}

void InstallCountingHandlers() {
    // No SA_RESTART: the line's wait returns at once and passes the signal on.
    Handle(SIGINT, OnCountedSignal, 0);
    Handle(SIGTERM, OnCountedSignal, 0);
}

void RemoveCountingHandlers() {
    Handle(SIGINT, SIG_DFL, 0);
    Handle(SIGTERM, SIG_DFL, 0);
}

int CountedInterruptions() {
    return g_counted.load();
}

int FirstCountedSignal() {
    return g_first_counted.load();
}

}  // namespace vantor::cli
