// Whole jobs with seeking over RFC 2217 behind a network that holds each direction, with jitter
// and loss, through both servers: vantor-drive-sim, and vantor-port-server's serving loop in front
// of the UART model. The seek ends by selecting the drive and the switch into the boot loader
// begins with a transmit purge; a client that lets that purge overtake the selection on its way
// to the server leaves the drive deselected, and the job needs further resynchronisations or
// fails. These tests take real time (about 20 s behind 100 ms each way) and carry the ctest
// label "network".
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>

#include "image/image_writer.h"
#include "latency_relay.h"
#include "network_peers.h"
#include "platform/serial/rfc2217_server.h"
#include "portserver/port_server.h"
#include "simulated_uart.h"

#ifdef VANTOR_CLI_PATH
namespace vantor {
namespace {

constexpr int kDriveAddress = 5;

// vantor-port-server's serving loop in this process, in front of the UART model with a drive at
// kDriveAddress in its command mode.
class PortServerOnUart {
  public:
    PortServerOnUart() {
        // Lock files go to a folder of this process's own, as the UART's path is the same in
        // every test process.
        if (::mkdtemp(lock_dir_.data()) == nullptr) {
            return;
        }
        ::setenv("VANTOR_LOCK_DIR", lock_dir_.c_str(), 1);
        auto listener = platform::rfc2217_server::Listen("127.0.0.1", 0);
        if (listener) {
            listen_fd_ = listener->fd;
            target_ = std::move(listener->bound);
            thread_ = std::thread(
                [this] { portserver::ServePort(listen_fd_, options_, stop_, nullptr); });
        }
    }
    ~PortServerOnUart() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (listen_fd_ >= 0) {
            ::close(listen_fd_);
        }
        ::unsetenv("VANTOR_LOCK_DIR");
        ::rmdir(lock_dir_.c_str());
    }
    // "127.0.0.1:PORT"; "" when it does not listen.
    std::string Target() const { return listen_fd_ >= 0 ? target_ : ""; }

  private:
    static sim::SimOptions DriveInCommandMode() {
        sim::SimOptions options;
        options.addresses = {kDriveAddress};
        return options;
    }

    std::shared_ptr<sim::SimWorld> world_ = std::make_shared<sim::SimWorld>(DriveInCommandMode());
    test::SimulatedUart uart_{world_};
    platform::ScopedSyscalls scoped_syscalls_{uart_};
    portserver::PortServerOptions options_{test::kUartPath, {}, {}};
    std::string lock_dir_ = "/tmp/vantor-locks-XXXXXX";
    std::string target_;
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

enum class Server { kDriveSim, kPortServer };

struct Network {
    const char* name;
    test::NetworkModel model;
};

// How ctest and a failure name a case.
void PrintTo(Server server, std::ostream* out) {
    *out << (server == Server::kDriveSim ? "vantor-drive-sim" : "vantor-port-server");
}
void PrintTo(const Network& network, std::ostream* out) {
    *out << network.name;
}

struct CliRun {
    int exit_status = -1;
    std::string output;
};

// vantor-cli downloads `image` through `address` at 19200 baud, seeking the drive, with its
// events as JSON on stdout. The settings store is moved where nothing can be read or written.
// A job that hangs is killed after four minutes, so that the read of its output ends.
CliRun DownloadWithSeeking(const std::string& image, const std::string& address) {
    const std::string command = std::string("VANTOR_REGISTRY=/nonexistent/vantor-registry ") +
                                "timeout -s KILL 240 " + VANTOR_CLI_PATH + " download " + image +
                                " --port " + address + " --baud 19200 --json 2>&1";
    CliRun run;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char chunk[4096];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) {
        run.output += chunk;
    }
    const int status = ::pclose(pipe);
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The lines of a run that an operator reads: its status texts, its result and its summary.
std::string Outline(const std::string& output) {
    std::string outline;
    for (std::size_t at = 0, end; at < output.size(); at = end + 1) {
        end = output.find('\n', at);
        end = end == std::string::npos ? output.size() : end;
        const std::string line = output.substr(at, end - at);
        if (line.find("\"event\":\"progress\"") == std::string::npos) {
            outline += line + "\n";
        }
    }
    return outline;
}

// The whole number that follows "NAME": in the run's summary; -1 without one.
int SummaryNumber(const std::string& outline, const std::string& name) {
    const std::size_t summary = outline.find("{\"event\":\"summary\"");
    const std::size_t at = outline.find("\"" + name + "\":", summary);
    if (summary == std::string::npos || at == std::string::npos) {
        return -1;
    }
    return std::atoi(outline.c_str() + at + name.size() + 3);
}

class JobBehindNetwork : public testing::TestWithParam<std::tuple<Server, Network>> {};

TEST_P(JobBehindNetwork, WithSeekingSucceedsAtTheFirstAttempt) {
    const auto& [server, network] = GetParam();
    std::optional<test::DriveSimProcess> drive_sim;
    std::optional<PortServerOnUart> port_server;
    std::string target;
    if (server == Server::kDriveSim) {
        drive_sim.emplace("address=" + std::to_string(kDriveAddress));
        target = drive_sim->address().substr(std::string("rfc2217://").size());
    } else {
        target = port_server.emplace().Target();
    }
    ASSERT_FALSE(target.empty());
    std::string error;
    const auto relay = test::LatencyRelay::Start("127.0.0.1:0", target, network.model, error);
    ASSERT_NE(relay, nullptr) << error;
    const std::string image =
        image_writer::ImageBuilder::Kdx(2).FillerPackets(2, 240).WriteTemp("vantor-network");
    ASSERT_FALSE(image.empty());
    const CliRun run = DownloadWithSeeking(image, relay->Address());
    std::remove(image.c_str());
    const std::string outline = Outline(run.output);
    EXPECT_EQ(run.exit_status, 0) << outline;
    EXPECT_NE(outline.find("\"text\":\"Download successful\""), std::string::npos) << outline;
    EXPECT_EQ(SummaryNumber(outline, "address"), kDriveAddress) << outline;
    EXPECT_EQ(SummaryNumber(outline, "resynchronisations"), 1)
        << "the first switch into the boot loader did not take\n"
        << outline;
}

const Network kNetworks[] = {
    {"0ms", {0, 0, 0.0, 1}},     {"1ms", {1, 0, 0.0, 1}},
    {"5ms", {5, 0, 0.0, 1}},     {"20ms", {20, 0, 0.0, 1}},
    {"100ms", {100, 0, 0.0, 1}}, {"20ms_jitter5ms_loss1percent", {20, 5, 0.01, 7}},
};

std::string CaseName(const testing::TestParamInfo<JobBehindNetwork::ParamType>& param) {
    const auto& [server, network] = param.param;
    return std::string(server == Server::kDriveSim ? "DriveSim_" : "PortServer_") + network.name;
}

INSTANTIATE_TEST_SUITE_P(NetworkLatency, JobBehindNetwork,
                         testing::Combine(testing::Values(Server::kDriveSim, Server::kPortServer),
                                          testing::ValuesIn(kNetworks)),
                         CaseName);

}  // namespace
}  // namespace vantor
#endif
