// A port that another program holds without a lock file (a terminal program, ModemManager) is
// refused before it is opened, naming that program, in the backend and in vantor-cli; and a lock
// file's holder is named by its program rather than by how it was started.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "image/image_writer.h"
#include "platform/process.h"
#include "platform/serial/posix_serial_device.h"
#include "platform/serial/uucp_lock.h"
#include "pty_pair.h"
#include "support/test_support.h"

namespace vantor::platform {
namespace {

constexpr char kSleep[] = "/usr/bin/sleep";
// Only a hang reaches these: a child starts and a download is refused in milliseconds.
constexpr auto kStartBound = std::chrono::seconds(10);
constexpr auto kRunBound = std::chrono::seconds(60);

std::string LinkTarget(const std::string& link) {
    std::array<char, PATH_MAX> target{};
    const ssize_t length = ::readlink(link.c_str(), target.data(), target.size() - 1);
    return length > 0 ? std::string(target.data(), static_cast<std::size_t>(length)) : "";
}

// sleep, started through a link named `start_name` (which the kernel takes for its short
// name), holding the descriptors `fds`.
class Holder {
  public:
    Holder(const std::filesystem::path& folder, const std::string& start_name,
           std::vector<int> fds = {}) {
        const std::string link = (folder / start_name).string();
        std::filesystem::create_symlink(kSleep, link);
        ChildOptions options;
        options.argv = {start_name, "600"};
        options.program = link;
        options.inherited_descriptors = std::move(fds);
        child_ = ChildProcess::Start(options).ValueOr(nullptr);
        // Held once the child runs sleep rather than the test's own copy of itself.
        const auto give_up = std::chrono::steady_clock::now() + kStartBound;
        while (child_ && LinkTarget("/proc/" + std::to_string(pid()) + "/exe") != kSleep &&
               std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~Holder() {
        if (child_) {
            child_->Kill();
            child_->Finish(std::chrono::steady_clock::now() + kStartBound);
        }
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    bool running() const { return child_ != nullptr; }
    long pid() const { return child_ ? child_->id() : 0; }
    void End() { child_.reset(); }

  private:
    std::unique_ptr<ChildProcess> child_;
};

class BusyPort : public testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kSleep)) {
            GTEST_SKIP() << kSleep << " is not there";
        }
        ASSERT_TRUE(pty_.ok());
        slave_ = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(slave_, 0);
    }
    void TearDown() override {
        if (slave_ >= 0) {
            ::close(slave_);
        }
    }

    // The holder takes the test's descriptor of the pty's terminal side; the test keeps none.
    std::unique_ptr<Holder> HoldTheTerminal(const std::string& start_name) {
        auto holder = std::make_unique<Holder>(folder_.path(), start_name, std::vector{slave_});
        ::close(slave_);
        slave_ = -1;
        return holder;
    }

    std::string InUseBy(long pid, const std::string& program) const {
        return "the device \"" + pty_.path() + "\" is in use by process " + std::to_string(pid) +
               " (" + program + "), which has it open";
    }

    test::TempFolder folder_{"vantor-busy-port"};
    test::ScopedEnv locks_{"VANTOR_LOCK_DIR", folder_.path().c_str()};
    test::PtyPair pty_;
    int slave_ = -1;
};

// Catches a port held by another program being opened anyway, the job then failing 19 s later
// as a resynchronisation failure; and the refusal outliving its holder.
TEST_F(BusyPort, AHeldTerminalIsRefusedWithItsHolderUntilTheHolderEnds) {
    auto holder = HoldTheTerminal("sleep");
    ASSERT_TRUE(holder->running());
    std::string error;
    error = OpenPosixSerialDevice(pty_.path()).reason();
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error, InUseBy(holder->pid(), "sleep"));
    holder->End();
    EXPECT_EQ(OpenPosixSerialDevice(pty_.path()).reason(), "");
}

// Catches the far end of a pseudo-terminal taken for a rival: a program that holds the master
// side as well as the terminal side (socat, a simulator) is the line itself, and the port opens.
TEST_F(BusyPort, TheFarEndOfAPseudoTerminalIsNoRival) {
    Holder far_end(folder_.path(), "sleep", {pty_.master(), slave_});
    ASSERT_TRUE(far_end.running());
    ::close(slave_);
    slave_ = -1;
    EXPECT_EQ(FindOtherHolder(pty_.path()), std::nullopt);
    EXPECT_EQ(OpenPosixSerialDevice(pty_.path()).reason(), "");
}

// Catches the command line program taking a held port: it must refuse it at once and name the
// holder, as the operator sees it.
TEST_F(BusyPort, VantorCliNamesTheProgramThatHoldsThePort) {
#ifndef VANTOR_CLI_PATH
    GTEST_SKIP() << "vantor-cli is not built";
#else
    const std::string image = image_writer::ImageBuilder::Kdx(2).FillerPackets(2, 32).WriteTemp();
    auto holder = HoldTheTerminal("sleep");
    ChildOptions options;
    options.argv = {VANTOR_CLI_PATH, "download", image, "--port", pty_.path()};
    options.environment_changes = {{"VANTOR_REGISTRY", (folder_.path() / "registry").string()}};
    options.out = ChildStream::Pipe();
    options.err = ChildStream::JoinOut();
    auto cli = ChildProcess::Start(options).ValueOr(nullptr);
    ASSERT_NE(cli, nullptr);
    const ChildExit exit = cli->Finish(std::chrono::steady_clock::now() + kRunBound);
    const std::string& output = cli->Output(OutputStream::kOut);
    EXPECT_TRUE(exit.Exited() && exit.status != 0) << output;
    EXPECT_NE(output.find(InUseBy(holder->pid(), "sleep")), std::string::npos) << output;
    std::filesystem::remove(image);
#endif
}

// Catches a production line's station, started through /proc/self/exe, being named "exe" when
// its lock file refuses the port to another program.
TEST_F(BusyPort, ALockHolderIsNamedByItsProgram) {
    Holder holder(folder_.path(), "exe");
    ASSERT_TRUE(holder.running());
    std::ofstream(folder_.path() / LockFileName(pty_.path()))
        << std::setw(10) << holder.pid() << "\n";
    UucpLock lock;
    const Result<void> taken = lock.Take(pty_.path());
    ASSERT_FALSE(taken);
    EXPECT_NE(
        taken.reason().find("is in use by process " + std::to_string(holder.pid()) + " (sleep)"),
        std::string::npos)
        << taken.reason();
}

}  // namespace
}  // namespace vantor::platform
