// vantor-port-server: one serial device of this machine served over the network (RFC 2217),
// breaks included, so that a drive can be updated from another computer.
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/interruptions.h"
#include "platform/result.h"
#include "platform/serial/posix_serial_device.h"
#include "platform/serial/rfc2217_server.h"
#include "portserver/port_server.h"
#include "portserver/port_server_options.h"

namespace {

constexpr int kUsageError = 64;

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnStopSignal(int) {
    g_stop = true;
}

constexpr std::size_t kHelpColumn = 26;
constexpr int kMsPerSecond = 1000;

// The help: the usage, the options' table, and what serving does, with this program's own
// figures.
std::string UsageText() {
    const int vanished_s =
        vantor::platform::rfc2217_server::KeepAlive{}.UnacknowledgedMs() / kMsPerSecond;
    const int shut_s = vantor::platform::rfc2217_server::kShutDrainMs / kMsPerSecond;
    return "usage: vantor-port-server --device DEVICE --port PORT [--host ADDRESS]\n"
           "                          [--allow ADDRESS/PREFIX]...\n" +
           vantor::platform::OptionsHelp(vantor::portserver::kOptions, kHelpColumn) +
           "\n"
           "It serves the device until it is stopped (Ctrl+C, SIGTERM), one client at a time: the\n"
           "device is opened for a client at " +
           std::to_string(vantor::portserver::kClientStartBaudRate) +
           " baud 8N1 and closed when it leaves; a client that\n"
           "comes meanwhile is told the port is in use and disconnected. A client whose network\n"
           "vanished is let go within " +
           std::to_string(vanished_s) + " s, one that shut its side within " +
           std::to_string(shut_s) +
           " s. Connections are\n"
           "logged on stderr.\n"
           "exit status: 1 the port cannot be listened on, 64 usage error\n";
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "vantor-port-server: %s\n%s", problem.c_str(), UsageText().c_str());
    return kUsageError;
}

// What to serve and where.
struct Serving {
    std::string host;
    std::uint16_t port = 0;
    vantor::portserver::PortServerOptions options;
};

// The row of the option `name`; null when the table has no such option.
const vantor::portserver::OptionRow* FindRow(const std::string& name) {
    for (const vantor::portserver::OptionRow& row : vantor::portserver::kOptionRows) {
        if (row.option.name == name) {
            return &row;
        }
    }
    return nullptr;
}

// Takes one option of the table with its value (nothing for a switch); the usage message when
// the value is wrong.
vantor::Result<void> TakeOption(const vantor::portserver::OptionRow& row,
                                const std::optional<std::string>& value,
                                vantor::portserver::Request& request) {
    if (row.flag != nullptr) {
        request.*row.flag = true;
    } else if (row.text != nullptr) {
        request.*row.text = *value;
    } else {
        auto network = vantor::portserver::ParseAllowedNetwork(*value);
        if (!network) {
            return vantor::Failure{std::string(row.option.name) + ": " + network.reason()};
        }
        (request.*row.networks).push_back(*network);
    }
    return {};
}

// Reads the options, answering --help and --version as soon as one is read.
std::optional<vantor::portserver::Request> ReadRequest(int argc, char** argv, int& status) {
    using namespace vantor;
    portserver::Request request;
    platform::ArgumentReader reader(platform::ArgumentsOf(argc, argv),
                                    platform::ArgumentStyle::kSeparateValues);
    status = kUsageError;
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        const portserver::OptionRow* row = reader.IsOption(argument) ? FindRow(argument) : nullptr;
        if (row == nullptr) {
            Usage("unexpected argument \"" + argument + "\"");
            return std::nullopt;
        }
        const auto value = platform::ReadOptionValue(reader, row->option, argument);
        if (!value) {
            Usage(value.reason());
            return std::nullopt;
        }
        if (const Result<void> taken = TakeOption(*row, *value, request); !taken) {
            Usage(taken.reason());
            return std::nullopt;
        }
        if (request.help || request.version) {
            request.version ? std::printf("vantor-port-server (Vantor %s)\n", VANTOR_VERSION)
                            : std::fputs(UsageText().c_str(), stdout);
            status = 0;
            return std::nullopt;
        }
    }
    return request;
}

// What the command line asks to serve; nothing when it answered (--help, --version) or refused
// it, with the exit status in `status`.
std::optional<Serving> ReadServing(int argc, char** argv, int& status) {
    auto request = ReadRequest(argc, argv, status);
    if (!request) {
        return std::nullopt;
    }
    const auto refuse = [](const std::string& problem) -> std::optional<Serving> {
        Usage(problem);
        return std::nullopt;
    };
    if (request->device.empty()) {
        return refuse("--device is required");
    }
    const auto port = vantor::platform::rfc2217_server::ParseTcpPort(request->port);
    if (!port) {
        return refuse(request->port.empty()
                          ? "--port is required"
                          : "the port \"" + request->port + "\" is not a number from 0 to 65535");
    }
    return Serving{request->host, *port, {request->device, std::move(request->allowed), {}}};
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantor;
    int status = 0;
    const std::optional<Serving> request = ReadServing(argc, argv, status);
    if (!request) {
        return status;
    }
    const portserver::PortServerOptions& options = request->options;
    if (platform::IsPseudoTerminal(options.device)) {
        std::fprintf(stderr,
                     "vantor-port-server: warning: %s is a pseudo-terminal, which cannot carry "
                     "serial breaks, and the drive's boot loader needs them: serve a real serial "
                     "device or USB adapter (such as /dev/ttyUSB0) instead\n",
                     options.device.c_str());
    }
    // SIGINT and SIGTERM end the serving loops, which close what they opened; a wait is cut
    // short so that they notice at once.
    platform::CatchInterruptions(OnStopSignal, platform::InterruptedCalls::kCutShort);
    const auto listener = platform::rfc2217_server::Listen(request->host, request->port);
    if (!listener) {
        std::fprintf(stderr, "vantor-port-server: %s\n", listener.reason().c_str());
        return 1;
    }
    std::fprintf(stderr, "vantor-port-server serving %s on %s (rfc2217://%s)\n",
                 options.device.c_str(), listener->bound.c_str(), listener->bound.c_str());
    std::fflush(stderr);
    portserver::ServePort(listener->fd, options, g_stop, stderr);
    ::close(listener->fd);
    std::fprintf(stderr, "vantor-port-server stopped\n");
    return 0;
}
