// vantor-port-server: one serial device of this machine served over the network (RFC 2217),
// breaks included, so that a drive can be updated from another computer.
#include <unistd.h>

#include <atomic>
#include <cstdio>
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

const char kUsageText[] =
    "usage: vantor-port-server --device DEVICE --port PORT [--host ADDRESS]\n"
    "                          [--allow ADDRESS/PREFIX]...\n"
    "  DEVICE   the serial device to serve, such as /dev/ttyUSB0\n"
    "  PORT     TCP port to listen on (0: any free port)\n"
    "  ADDRESS  address to listen on (default 127.0.0.1; 0.0.0.0 or :: for every network)\n"
    "  --allow  only peers in this network may connect (may be given again)\n"
    "  --help, -h, --version\n"
    "\n"
    "It serves the device until it is stopped (Ctrl+C, SIGTERM), one client at a time: the\n"
    "device is opened for a client at 9600 baud 8N1 and closed when it leaves; a client that\n"
    "comes meanwhile is told the port is in use and disconnected. A client whose network\n"
    "vanished is let go within 25 s, one that shut its side within 5 s. Connections are\n"
    "logged on stderr.\n"
    "exit status: 1 the port cannot be listened on, 64 usage error\n";

// The usage text's figures.
static_assert(vantor::platform::rfc2217_server::KeepAlive{}.UnacknowledgedMs() == 25000);
static_assert(vantor::platform::rfc2217_server::kShutDrainMs == 5000);
static_assert(vantor::portserver::kClientStartBaudRate == 9600);

int Usage(const std::string& problem) {
    std::fprintf(stderr, "vantor-port-server: %s\n%s", problem.c_str(), kUsageText);
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantor;
    std::string host = "127.0.0.1";
    std::string port_text;
    portserver::PortServerOptions options;
    platform::ArgumentReader reader(platform::ArgumentsOf(argc, argv),
                                    platform::ArgumentStyle::kSeparateValues);
    while (!reader.Done()) {
        platform::Argument argument;
        if (auto problem = platform::ReadArgument(reader, portserver::kOptions, argument)) {
            return Usage(*problem);
        }
        const std::string& arg = argument.text;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsageText, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("vantor-port-server (Vantor %s)\n", VANTOR_VERSION);
            return 0;
        }
        if (!argument.value) {
            return Usage("unexpected argument \"" + arg + "\"");
        }
        const std::string& value = *argument.value;
        if (arg == "--device") {
            options.device = value;
        } else if (arg == "--port") {
            port_text = value;
        } else if (arg == "--host") {
            host = value;
        } else {
            std::string error;
            const auto network = portserver::ParseAllowedNetwork(value, error);
            if (!network) {
                return Usage("--allow: " + error);
            }
            options.allowed.push_back(*network);
        }
    }
    if (options.device.empty()) {
        return Usage("--device is required");
    }
    if (port_text.empty()) {
        return Usage("--port is required");
    }
    const auto port = platform::rfc2217_server::ParseTcpPort(port_text);
    if (!port) {
        return Usage("the port \"" + port_text + "\" is not a number from 0 to 65535");
    }
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
    const int listen_fd = platform::rfc2217_server::Listen(host, *port, bound, error);
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
