// vantor-port-server: one serial device of this machine served over the network (RFC 2217),
// breaks included, so that a drive can be updated from another computer.
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/interruptions.h"
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

// What the command line asks for; nothing when it answered (--help, --version) or refused it,
// with the exit status in `status`.
struct Request {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    vantor::portserver::PortServerOptions options;
};

std::optional<Request> ReadRequest(int argc, char** argv, int& status) {
    using namespace vantor;
    Request request;
    std::string port_text;
    platform::ArgumentReader reader(platform::ArgumentsOf(argc, argv),
                                    platform::ArgumentStyle::kSeparateValues);
    status = kUsageError;
    const auto refuse = [](const std::string& problem) -> std::optional<Request> {
        Usage(problem);
        return std::nullopt;
    };
    while (!reader.Done()) {
        platform::Argument argument;
        if (auto problem = platform::ReadArgument(reader, portserver::kOptions, argument)) {
            return refuse(*problem);
        }
        const std::string& arg = argument.text;
        if (arg == "--help" || arg == "-h" || arg == "--version") {
            arg == "--version" ? std::printf("vantor-port-server (Vantor %s)\n", VANTOR_VERSION)
                               : std::fputs(UsageText().c_str(), stdout);
            status = 0;
            return std::nullopt;
        }
        if (!argument.value) {
            return refuse("unexpected argument \"" + arg + "\"");
        }
        const std::string& value = *argument.value;
        if (arg == "--device") {
            request.options.device = value;
        } else if (arg == "--port") {
            port_text = value;
        } else if (arg == "--host") {
            request.host = value;
        } else {
            std::string error;
            const auto network = portserver::ParseAllowedNetwork(value, error);
            if (!network) {
                return refuse("--allow: " + error);
            }
            request.options.allowed.push_back(*network);
        }
    }
    if (request.options.device.empty()) {
        return refuse("--device is required");
    }
    const auto port = platform::rfc2217_server::ParseTcpPort(port_text);
    if (!port) {
        return refuse(port_text.empty()
                          ? "--port is required"
                          : "the port \"" + port_text + "\" is not a number from 0 to 65535");
    }
    request.port = *port;
    return request;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantor;
    int status = 0;
    const std::optional<Request> request = ReadRequest(argc, argv, status);
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
    std::string bound;
    std::string error;
    const int listen_fd =
        platform::rfc2217_server::Listen(request->host, request->port, bound, error);
    if (listen_fd < 0) {
        std::fprintf(stderr, "vantor-port-server: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "vantor-port-server serving %s on %s (rfc2217://%s)\n",
                 options.device.c_str(), bound.c_str(), bound.c_str());
    std::fflush(stderr);
    portserver::ServePort(listen_fd, options, g_stop, stderr);
    ::close(listen_fd);
    std::fprintf(stderr, "vantor-port-server stopped\n");
    return 0;
}
