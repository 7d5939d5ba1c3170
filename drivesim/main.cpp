// vantor-drive-sim: the simulated drive behind a network serial port (RFC 2217), so that the tool
// can be tried over the network exactly as with a drive behind a serial device server.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <optional>
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

// The row of the option `name`; null when the table has no such option.
const vantor::drivesim::OptionRow* FindRow(const std::string& name) {
    for (const vantor::drivesim::OptionRow& row : vantor::drivesim::kOptionRows) {
        if (row.option.name == name) {
            return &row;
        }
    }
    return nullptr;
}

// Reads the command line into `request`, answering --help and --version as soon as one is read;
// the exit status when it was answered or refused.
std::optional<int> ReadRequest(int argc, char** argv, vantor::drivesim::Request& request) {
    using namespace vantor;
    platform::ArgumentReader reader(platform::ArgumentsOf(argc, argv),
                                    platform::ArgumentStyle::kSeparateValues);
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        const drivesim::OptionRow* row = reader.IsOption(argument) ? FindRow(argument) : nullptr;
        if (row == nullptr) {
            if (argument.empty() || argument[0] == '-' || request.drive_options_given) {
                return Usage("unexpected argument \"" + argument + "\"");
            }
            request.drive_options = argument;
            request.drive_options_given = true;
            continue;
        }
        const auto value = platform::ReadOptionValue(reader, row->option, argument);
        if (!value) {
            return Usage(value.reason());
        }
        if (row->flag != nullptr) {
            request.*row->flag = true;
        } else {
            request.*row->text = **value;
        }
        if (request.help) {
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        }
        if (request.version) {
            std::printf("vantor-drive-sim (Vantor %s)\n", VANTOR_VERSION);
            return 0;
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantor;
    drivesim::Request request;
    if (const auto status = ReadRequest(argc, argv, request)) {
        return *status;
    }
    if (request.port.empty()) {
        return Usage("--port is required");
    }
    const auto port = platform::rfc2217_server::ParseTcpPort(request.port);
    if (!port) {
        return Usage("the port \"" + request.port + "\" is not a number from 0 to 65535");
    }
    const auto options = sim::ParseSimOptions(request.drive_options);
    if (!options) {
        return Usage(options.reason());
    }
    const auto listener = platform::rfc2217_server::Listen(request.host, *port);
    if (!listener) {
        std::fprintf(stderr, "vantor-drive-sim: %s\n", listener.reason().c_str());
        return 1;
    }
    std::printf("vantor-drive-sim listening on %s (rfc2217://%s)\n", listener->bound.c_str(),
                listener->bound.c_str());
    std::fflush(stdout);
    const std::atomic<bool> stop{false};
    drivesim::ServeClients(listener->fd, *options, stop, stdout);
    ::close(listener->fd);
    return 0;
}
