// The whole job against vantor-drive-sim running as a separate process, over loopback TCP on the
// real clock: breaks both ways, every byte value to the drive, clients one after another.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/image_writer.h"
#include "job/job.h"
#include "platform/serial/port_map.h"
#include "support/test_support.h"

extern char** environ;

namespace vantor {
namespace {

using image_writer::Bytes;

// vantor-drive-sim started with the given options on a free port; stopped when the test ends.
class DriveSimProcess {
  public:
    explicit DriveSimProcess(const std::string& options) {
        int out[2];
        if (::pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<std::string> args = {VANTOR_DRIVE_SIM_PATH, "--port", "0"};
        if (!options.empty()) {
            args.push_back(options);
        }
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        output_ = ::fdopen(out[0], "r");
        ReadAddress();
    }
    ~DriveSimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (output_ != nullptr) {
            std::fclose(output_);
        }
    }
    DriveSimProcess(const DriveSimProcess&) = delete;
    DriveSimProcess& operator=(const DriveSimProcess&) = delete;

    // The device address it printed, "" when it did not start.
    const std::string& address() const { return address_; }

  private:
    void ReadAddress() {
        char line[256];
        if (output_ == nullptr || std::fgets(line, sizeof(line), output_) == nullptr) {
            return;
        }
        const std::string text = line;
        const std::size_t start = text.find("rfc2217://");
        const std::size_t end = text.find(')', start);
        if (start != std::string::npos && end != std::string::npos) {
            address_ = text.substr(start, end - start);
        }
    }

    pid_t pid_ = -1;
    std::FILE* output_ = nullptr;
    std::string address_;
};

// An image of filler packets and one packet holding every byte value, 0xFF included.
std::string WriteImage() {
    Bytes every_value;
    for (int value = 0; value < 256; ++value) {
        every_value.push_back(static_cast<std::uint8_t>(value));
    }
    return image_writer::ImageBuilder::Kdx(2)
        .FillerPackets(4, 240)
        .Packet(image_writer::WritePayload(0x00020000, every_value))
        .WriteTemp("vantor-serial-e2e");
}

class JobOverNetwork : public testing::Test {
  protected:
    // One image for every job of the test, removed at its end.
    void SetUp() override { ASSERT_FALSE(image_.empty()); }
    void TearDown() override {
        platform::SetPortMapOverride(1, "");
        std::remove(image_.c_str());
    }

    int RunJob(const std::string& address) {
        platform::SetPortMapOverride(1, address);
        host.Options.PortIndex = 0;
        host.Options.BaudChoice = 1;
        host.Options.SkipSeeking = 1;
        host.Options.ImagePath = image_;
        host.JobRunning = 1;
        return DownloadJob(host);
    }

    test::RecordingWindowLink window;
    platform::ScopedWindowLink scoped_window{window};
    JobHost host;

  private:
    std::string image_ = WriteImage();
};

TEST_F(JobOverNetwork, DownloadsTheImageToTheSimulatorServer) {
    DriveSimProcess server("");
    ASSERT_FALSE(server.address().empty());
    EXPECT_EQ(RunJob(server.address()), kJobDone);
    EXPECT_EQ(window.Text(platform::Display::StatusLine), "Download successful");
    EXPECT_EQ(host.JobRunning, 0);
}

// Catches a server that cannot take a second client, or keeps the first one's drive state.
TEST_F(JobOverNetwork, ServesClientsOneAfterAnother) {
    DriveSimProcess server("ident=0x20C5");
    ASSERT_FALSE(server.address().empty());
    ASSERT_EQ(RunJob(server.address()), kJobDone);
    window.Clear();
    EXPECT_EQ(RunJob(server.address()), kJobDone);
    EXPECT_EQ(window.Text(platform::Display::StatusLine), "Download successful");
}

struct CommandResult {
    int exit_status;
    std::string output;
};

// Runs `command` through the shell; a command that hangs is killed after two minutes, so that
// the read of its output ends.
CommandResult RunCommand(const std::string& command) {
    CommandResult result{-1, ""};
    std::FILE* pipe = ::popen(("timeout -s KILL 120 " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char chunk[256];
    while (std::fgets(chunk, sizeof(chunk), pipe) != nullptr) {
        result.output += chunk;
    }
    const int status = ::pclose(pipe);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

#ifdef VANTOR_CLI_PATH
// The operator's way: vantor-cli and vantor-drive-sim as two processes over loopback.
TEST(CliOverNetwork, DownloadsTheImageToTheSimulatorServer) {
    DriveSimProcess server("");
    ASSERT_FALSE(server.address().empty());
    const std::string image = WriteImage();
    const CommandResult run = RunCommand(std::string(VANTOR_CLI_PATH) + " download " + image +
                                         " --port " + server.address());
    std::remove(image.c_str());
    EXPECT_EQ(run.exit_status, 0) << run.output;
    EXPECT_NE(run.output.find("Download successful"), std::string::npos) << run.output;
}

TEST(CliOverNetwork, ServerNotThereFailsToOpenThePort) {
    const std::string image = WriteImage();
    // Port 1 on loopback has nobody listening: the connection is refused at once.
    const CommandResult run = RunCommand(std::string(VANTOR_CLI_PATH) + " download " + image +
                                         " --port rfc2217://127.0.0.1:1");
    std::remove(image.c_str());
    EXPECT_EQ(run.exit_status, kJobPortUnopenable) << run.output;
    EXPECT_NE(run.output.find("Error : Failed to initialize COM port"), std::string::npos)
        << run.output;
}
#endif

TEST(DriveSimProgram, RefusesBadOptionsWithAUsageMessage) {
    const CommandResult run = RunCommand(std::string(VANTOR_DRIVE_SIM_PATH) + " --port 0 bogus=1");
    EXPECT_EQ(run.exit_status, 64);
    EXPECT_NE(run.output.find("usage: vantor-drive-sim --port PORT"), std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace vantor
