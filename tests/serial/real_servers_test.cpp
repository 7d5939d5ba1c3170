// The program against Debian's own serial port servers, started by the tests: socat makes a pty
// pair that stands for a serial line (the test plays the drive's end), and ser2net serves its
// other end as RFC 2217, with a banner, one connection that gives the port to a newcomer
// (kickolduser) and one whose device is missing. Each case is checked as an operator sees it:
// vantor-cli's message and exit status.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "image/image_writer.h"
#include "job/job.h"
#include "network_peers.h"
#include "platform/process.h"
#include "platform/serial/device_address.h"
#include "support/test_support.h"

namespace vantor {
namespace {

constexpr char kSocat[] = "/usr/bin/socat";
constexpr char kSer2net[] = "/usr/sbin/ser2net";

// Asks again until `condition` holds, while a real server of this machine answers.
bool Eventually(const std::function<bool()>& condition) {
    return test::Eventually(condition, std::chrono::seconds(5));
}

// A program started with its output thrown away; ended (SIGTERM) and reaped with the object.
class Spawned {
  public:
    explicit Spawned(std::vector<std::string> args) {
        platform::ChildOptions options;
        options.argv = std::move(args);
        options.in = platform::ChildStream::Inherit();
        options.out = platform::ChildStream::Null();
        options.err = platform::ChildStream::Null();
        child_ = platform::ChildProcess::Start(options).ValueOr(nullptr);
    }
    ~Spawned() {
        if (child_) {
            child_->Stop(std::chrono::steady_clock::now() + std::chrono::seconds(10));
        }
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;
    pid_t pid() const { return child_ ? static_cast<pid_t>(child_->id()) : -1; }

  private:
    std::unique_ptr<platform::ChildProcess> child_;
};

int FreePort() {
    const test::Listener listener;
    return listener.port();
}

bool Connectable(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

struct CommandResult {
    int exit_status = -1;
    std::string output;
};

class RealServers : public testing::Test {
  protected:
    void SetUp() override {
        if (::access(kSocat, X_OK) != 0 || ::access(kSer2net, X_OK) != 0) {
            GTEST_SKIP() << "socat and ser2net are not installed (scripts/install-deps.sh)";
        }
        ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
        device_ = dir_ + "/line";
        peer_ = dir_ + "/drive";
        socat_ = std::make_unique<Spawned>(std::vector<std::string>{
            kSocat, "pty,raw,echo=0,link=" + device_, "pty,raw,echo=0,link=" + peer_});
        struct stat info {};
        ASSERT_TRUE(Eventually([&] {
            return ::stat(device_.c_str(), &info) == 0 && ::stat(peer_.c_str(), &info) == 0;
        }));
        banner_port_ = FreePort();
        kick_port_ = FreePort();
        missing_port_ = FreePort();
        const std::string config = dir_ + "/ser2net.yaml";
        std::ofstream(config) << "%YAML 1.1\n---\n"
                              << Connection("banner", banner_port_, device_,
                                            "      banner: \"Welcome to the line server\\r\\n\"\n")
                              << Connection("kick", kick_port_, device_,
                                            "      kickolduser: true\n")
                              << Connection("missing", missing_port_, dir_ + "/absent", "");
        ser2net_ = std::make_unique<Spawned>(
            std::vector<std::string>{kSer2net, "-n", "-c", config, "-P", dir_ + "/ser2net.pid"});
        ASSERT_TRUE(Eventually([&] { return Connectable(missing_port_); }));
        image_ = image_writer::ImageBuilder::Kdx(2).FillerPackets(2, 64).WriteTemp("vantor-real");
    }
    void TearDown() override {
        ser2net_.reset();
        socat_.reset();
        std::remove(image_.c_str());
        for (const char* name : {"/ser2net.yaml", "/ser2net.pid"}) {
            std::remove((dir_ + name).c_str());
        }
        ::rmdir(dir_.c_str());
    }

    static std::string Connection(const std::string& name, int port, const std::string& device,
                                  const std::string& options) {
        return "connection: &" + name + "\n    accepter: telnet(rfc2217),tcp,127.0.0.1," +
               std::to_string(port) + "\n    connector: serialdev," + device +
               ",9600n81,local\n    options:\n" + options + "      max-connections: 1\n";
    }
    static std::string Address(int port) { return "rfc2217://127.0.0.1:" + std::to_string(port); }

    // The server writes its words and closes; when our offer reaches it first, it resets the
    // connection and the kernel may drop the words unread. Each try must be refused, and the words
    // must come through in one of three.
    void ExpectRefusedInTheServersWords(const std::string& address, const std::string& words) {
        std::string outputs;
        bool named = false;
        for (int attempt = 0; attempt < 3 && !named; ++attempt) {
            const CommandResult run = Download(address);
            EXPECT_EQ(run.exit_status, DesignCode(JobResult::kPortUnopenable)) << run.output;
            named = run.output.find(words) != std::string::npos;
            outputs += run.output;
        }
        EXPECT_TRUE(named) << outputs;
    }

    // vantor-cli download of the test image; `started` is called once its first line is out.
    CommandResult Download(const std::string& port, std::function<void()> started = {}) {
        CommandResult result;
#ifdef VANTOR_CLI_PATH
        platform::ChildOptions options;
        options.argv = {VANTOR_CLI_PATH, "download", image_, "--port", port, "--json"};
        options.in = platform::ChildStream::Inherit();
        options.out = platform::ChildStream::Pipe();
        options.err = platform::ChildStream::JoinOut();
        auto child = platform::ChildProcess::Start(options).ValueOr(nullptr);
        if (!child) {
            return result;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        platform::ProcessWaitSet set;
        set.Add(*child);
        const auto& output = child->Output(platform::OutputStream::kOut);
        while (started && output.find("Seeking drives...") == std::string::npos &&
               !child->OutputEnded(platform::OutputStream::kOut) &&
               std::chrono::steady_clock::now() < deadline) {
            set.Wait(deadline);
        }
        if (started && output.find("Seeking drives...") != std::string::npos) {
            started();
        }
        const platform::ChildExit exit = child->Finish(deadline);
        result.output = output;
        result.exit_status = exit.Exited() ? exit.status : -1;
#else
        (void)port;
        (void)started;
#endif
        return result;
    }

    // In the temporary folder the run was given ($TMPDIR), as every file a test makes.
    std::string dir_ = testing::TempDir() + "vantor-real-XXXXXX";
    std::string device_;
    std::string peer_;
    std::string image_;
    int banner_port_ = 0;
    int kick_port_ = 0;
    int missing_port_ = 0;
    std::unique_ptr<Spawned> socat_;
    std::unique_ptr<Spawned> ser2net_;
};

#ifdef VANTOR_CLI_PATH

// The banner arrives with the telnet negotiation; taken for data it answers the seek as a drive.
TEST_F(RealServers, BannerIsDroppedAndTheDrivesBytesComeThrough) {
    auto device = test::ValueOf(platform::OpenSerialDevice(Address(banner_port_)));
    ASSERT_NE(device, nullptr);
    const int drive = ::open(peer_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(drive, 0);
    ASSERT_EQ(::write(drive, "OK", 2), 2);
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    ASSERT_TRUE(Eventually([&] { return device->ClearError(errors, waiting) && waiting >= 2; }));
    std::string received(64, '\0');
    std::size_t got = 0;
    ASSERT_TRUE(device->Read(reinterpret_cast<std::uint8_t*>(received.data()), 64, got));
    EXPECT_EQ(received.substr(0, got), "OK");
    ::close(drive);
}

TEST_F(RealServers, PortInUseIsRefusedInTheServersOwnWords) {
    auto first = test::ValueOf(platform::OpenSerialDevice(Address(banner_port_)));
    ASSERT_NE(first, nullptr);
    ExpectRefusedInTheServersWords(Address(banner_port_),
                                   "the server said \\\"Port already in use\\\"");
}

TEST_F(RealServers, MissingDeviceBehindTheServerIsNamed) {
    ExpectRefusedInTheServersWords(Address(missing_port_), "Device open failure");
}

// The server serves the line and holds its lock file: a direct open must not disturb it.
TEST_F(RealServers, DeviceServedByTheServerIsRefusedNamingIt) {
    auto served = test::ValueOf(platform::OpenSerialDevice(Address(banner_port_)));
    ASSERT_NE(served, nullptr);
    const CommandResult run = Download(device_);
    EXPECT_EQ(run.exit_status, DesignCode(JobResult::kPortUnopenable)) << run.output;
    EXPECT_NE(
        run.output.find("in use by process " + std::to_string(ser2net_->pid()) + " (ser2net)"),
        std::string::npos)
        << run.output;
}

// Debian 12's ser2net does not take up break reports: the job ends before the seek, so the
// drive is never switched into a boot loader that could not be resynchronised.
TEST_F(RealServers, ServerWithoutBreakReportsEndsTheJobBeforeTheDriveIsTouched) {
    const CommandResult run = Download(Address(kick_port_));
    EXPECT_EQ(run.exit_status, DesignCode(JobResult::kResyncFailed)) << run.output;
    EXPECT_NE(run.output.find("this port cannot carry serial breaks"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("ser2net 4.6.4 or newer"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Seeking drives..."), std::string::npos) << run.output;
}

#endif

}  // namespace
}  // namespace vantor
