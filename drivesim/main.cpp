// vantor-drive-sim: the simulated drive behind a network serial port (RFC 2217), so that the tool
// can be tried over the network exactly as with a drive behind a serial device server.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "drivesim/drive_sim_options.h"
#include "drivesim/drive_sim_server.h"
#include "platform/serial/rfc2217_server.h"

namespace {

constexpr int kUsageError = 64;

std::string UsageText() {
    using namespace vantor::platform::rfc2217_server;
    return "usage: vantor-drive-sim --port PORT [--host ADDRESS] [OPTIONS]\n"
           "  PORT     TCP port to listen on (0: any free port)\n"
           "  ADDRESS  address to listen on (default 127.0.0.1)\n"
           "  OPTIONS  the simulated drive's options, as after \"sim:\" "
           "(for example address=2,ident=0x2083)\n"
           "  --help, -h, --version\n"
           "\n"
           "It serves the simulated drive until it is stopped (Ctrl+C).\n"
           "Clients are served one after another, each with a new simulated drive at 9600\n"
           "baud; the next ones wait to be accepted meanwhile. Per client:\n"
           "  speeds " +
           std::to_string(kMinBaudRate) + " to " + std::to_string(kMaxBaudRate) +
           " baud; others are refused with the speed that stays\n"
           "  " +
           std::to_string(kMaxLineQueueBytes) +
           " bytes of its data may wait for the line; then it is read no further until\n"
           "  the line has taken some; once it has shut its side, what it sent goes on to the\n"
           "  line for at most " +
           std::to_string(kShutDrainMs) +
           " ms and the rest is dropped\n"
           "  a client whose network vanished is let go within " +
           std::to_string(KeepAlive{}.UnacknowledgedMs() / 1000) +
           " s (TCP keepalive)\n"
           "  it is dropped when more than " +
           std::to_string(kMaxOutgoingBytes) +
           " bytes wait for it to read, or when it\n"
           "  reads nothing for " +
           std::to_string(kStalledClientMs) +
           " ms\n"
           "exit status: 1 the port cannot be listened on, 64 usage error\n";
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "vantor-drive-sim: %s\n%s", problem.c_str(), UsageText().c_str());
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantor;
    std::string host = "127.0.0.1";
    std::string port_text;
    std::string options_text;
    bool have_options = false;
    platform::ArgumentReader reader(platform::ArgumentsOf(argc, argv),
                                    platform::ArgumentStyle::kSeparateValues);
    while (!reader.Done()) {
        platform::Argument argument;
        if (auto problem = platform::ReadArgument(reader, drivesim::kOptions, argument)) {
            return Usage(*problem);
        }
        const std::string& arg = argument.text;
        if (arg == "--help" || arg == "-h") {
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("vantor-drive-sim (Vantor %s)\n", VANTOR_VERSION);
            return 0;
        }
        if (arg == "--port") {
            port_text = *argument.value;
        } else if (arg == "--host") {
            host = *argument.value;
        } else if (!arg.empty() && arg[0] != '-' && !have_options) {
            options_text = arg;
            have_options = true;
        } else {
            return Usage("unexpected argument \"" + arg + "\"");
        }
    }
    if (port_text.empty()) {
        return Usage("--port is required");
    }
    const auto port = platform::rfc2217_server::ParseTcpPort(port_text);
    if (!port) {
        return Usage("the port \"" + port_text + "\" is not a number from 0 to 65535");
    }
    const auto options = sim::ParseSimOptions(options_text);
    if (!options) {
        return Usage(options.reason());
    }
    std::string error;
    std::string bound;
    const int listen_fd = platform::rfc2217_server::Listen(host, *port, bound, error);
    if (listen_fd < 0) {
        std::fprintf(stderr, "vantor-drive-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("vantor-drive-sim listening on %s (rfc2217://%s)\n", bound.c_str(), bound.c_str());
    std::fflush(stdout);
    const std::atomic<bool> stop{false};
    drivesim::ServeClients(listen_fd, *options, stop, stdout);
    ::close(listen_fd);
    return 0;
}
