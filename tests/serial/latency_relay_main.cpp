// vantor-latency-relay: the tests' latency relay as a program of its own, for the network
// benchmark and for trying a client or a server by hand behind a slow or lossy network.
// SIGUSR1 cuts every connection as a vanished network does; SIGINT and SIGTERM end it.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "latency_relay.h"

namespace {

constexpr char kUsage[] =
    "usage: vantor-latency-relay --to HOST:PORT [--listen HOST:PORT] [--delay-ms D]\n"
    "                            [--jitter-ms J] [--loss P] [--seed S]\n"
    "Relays each client to HOST:PORT, holding both directions D ms plus up to J ms of jitter;\n"
    "a share P (0 to 1) of the segments is lost and arrives a retransmission time late, with\n"
    "everything behind it. --listen defaults to 127.0.0.1:0 (a free port). SIGUSR1 cuts every\n"
    "connection without telling either side.\n";

// A whole number from `min` to `max`, or false.
bool ParseNumber(const char* text, long long min, long long max, long long& value) {
    char* end = nullptr;
    value = std::strtoll(text, &end, 10);
    return *text != '\0' && *end == '\0' && value >= min && value <= max;
}

bool ParseOption(const std::string& option, const char* text, std::string& listen,
                 std::string& target, vantor::test::NetworkModel& model) {
    long long number = 0;
    if (option == "--listen" || option == "--to") {
        (option == "--listen" ? listen : target) = text;
        return true;
    }
    if (option == "--loss") {
        char* end = nullptr;
        model.loss = std::strtod(text, &end);
        return *text != '\0' && *end == '\0' && model.loss >= 0 && model.loss <= 1;
    }
    if (option == "--seed" && ParseNumber(text, 0, INT64_MAX, number)) {
        model.seed = static_cast<std::uint64_t>(number);
        return true;
    }
    if ((option == "--delay-ms" || option == "--jitter-ms") &&
        ParseNumber(text, 0, 60'000, number)) {
        (option == "--delay-ms" ? model.delay_ms : model.jitter_ms) = static_cast<int>(number);
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen = "127.0.0.1:0";
    std::string target;
    vantor::test::NetworkModel model;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc || !ParseOption(argv[i], argv[i + 1], listen, target, model)) {
            std::fputs(kUsage, stderr);
            return 64;
        }
    }
    if (target.empty()) {
        std::fputs(kUsage, stderr);
        return 64;
    }
    // The signals are taken by sigwait below, never by a handler, so the relay's thread is
    // never interrupted by them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGUSR1}) {
        sigaddset(&signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::string error;
    const auto relay = vantor::test::LatencyRelay::Start(listen, target, model, error);
    if (!relay) {
        std::fprintf(stderr, "vantor-latency-relay: %s\n", error.c_str());
        return 1;
    }
    std::printf("vantor-latency-relay listening on port %d, relaying to %s\n", relay->port(),
                target.c_str());
    std::fflush(stdout);
    int signal = 0;
    while (sigwait(&signals, &signal) == 0 && signal == SIGUSR1) {
        relay->Cut();
    }
    std::fprintf(stderr, "vantor-latency-relay: %llu segments, %llu lost\n",
                 static_cast<unsigned long long>(relay->Segments()),
                 static_cast<unsigned long long>(relay->LostSegments()));
    return 0;
}
