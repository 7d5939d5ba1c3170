#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace vantor::platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

std::unique_ptr<ChildProcess> Shell(const std::string& script, ChildOptions options = {}) {
    options.argv = {"/bin/sh", "-c", script, "sh", "first argument"};
    options.out =
        options.out.kind == ChildStream::Kind::kInherit ? ChildStream::Pipe() : options.out;
    options.err =
        options.err.kind == ChildStream::Kind::kInherit ? ChildStream::Pipe() : options.err;
    auto child = ChildProcess::Start(options);
    EXPECT_TRUE(child) << child.reason();
    return std::move(child).ValueOr(nullptr);
}

TEST(ChildProcess, PassesArgumentsAndEnvironmentChangesAndReadsBothStreams) {
    ::setenv("VANTOR_PROCESS_TEST_GONE", "still here", 1);
    ChildOptions options;
    options.environment_changes = {{"VANTOR_PROCESS_TEST_SET", "set"},
                                   {"VANTOR_PROCESS_TEST_GONE", std::nullopt}};
    auto child = Shell(
        "echo \"$1|$VANTOR_PROCESS_TEST_SET|${VANTOR_PROCESS_TEST_GONE-unset}\"; echo oops >&2; "
        "exit 3",
        options);
    const ChildExit exit = child->Finish(Clock::now() + seconds(10));
    EXPECT_EQ(exit.status, 3);
    EXPECT_EQ(child->Output(OutputStream::kOut), "first argument|set|unset\n");
    EXPECT_EQ(child->Output(OutputStream::kErr), "oops\n");
    EXPECT_TRUE(child->OutputEnded(OutputStream::kOut));
    ::unsetenv("VANTOR_PROCESS_TEST_GONE");
}

TEST(ChildProcess, WritesItsInputAndHandsOnAnInheritedDescriptor) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ChildOptions options;
    options.in = ChildStream::Pipe();
    options.inherited_descriptors = {ends[1]};
    auto child =
        Shell("read line; echo \"got $line\"; echo aside >&" + std::to_string(ends[1]), options);
    ::close(ends[1]);
    EXPECT_TRUE(child->WriteInput("hello\n", Clock::now() + seconds(10)));
    child->CloseInput();
    EXPECT_EQ(child->Finish(Clock::now() + seconds(10)).status, 0);
    EXPECT_EQ(child->Output(OutputStream::kOut), "got hello\n");
    char aside[16] = {};
    EXPECT_EQ(::read(ends[0], aside, sizeof aside), 6);
    EXPECT_STREQ(aside, "aside\n");
    ::close(ends[0]);
}

TEST(ChildProcess, ATerminalStreamIsATerminalToTheChild) {
    ChildOptions options;
    options.out = ChildStream::Terminal();
    options.err = ChildStream::Null();
    auto child = Shell("test -t 1 && echo terminal; test -t 2 || echo not-stderr", options);
    EXPECT_EQ(child->Finish(Clock::now() + seconds(10)).status, 0);
    EXPECT_EQ(child->Output(OutputStream::kOut), "terminal\r\nnot-stderr\r\n");
}

TEST(ChildProcess, WaitEndsAtItsDeadlineAndStopEndsTheChildWithSigterm) {
    auto child = Shell("exec sleep 30");
    EXPECT_FALSE(child->WaitUntil(Clock::now() + milliseconds(50)));
    EXPECT_FALSE(child->exit());
    const ChildExit exit = child->Stop(Clock::now() + seconds(10));
    EXPECT_EQ(exit.signal, SIGTERM);
    EXPECT_FALSE(child->Signal(SIGTERM)) << "a reaped child is not signalled";
}

// Catches a stop that waits for good on a child that ignores SIGTERM.
TEST(ChildProcess, StopKillsAChildThatIgnoresSigtermAtTheDeadline) {
    auto child = Shell("trap '' TERM; echo ready; exec sleep 30");
    ProcessWaitSet set;
    set.Add(*child);
    while (child->Output(OutputStream::kOut).empty() &&
           !set.Wait(Clock::now() + seconds(10)).empty()) {
    }
    ASSERT_EQ(child->Output(OutputStream::kOut), "ready\n");
    EXPECT_EQ(child->Stop(Clock::now() + milliseconds(200)).signal, SIGKILL);
}

TEST(ChildProcess, AProgramThatDoesNotExistIsNotStarted) {
    ChildOptions options;
    options.argv = {"/nonexistent/program"};
    const auto child = ChildProcess::Start(options);
    EXPECT_FALSE(child);
    EXPECT_NE(child.reason().find("/nonexistent/program"), std::string::npos) << child.reason();
}

// Catches a wait set that hands back children with no news: every child it returns has new
// output, a stream newly at its end, or has newly ended.
TEST(ProcessWaitSet, ReturnsOnlyTheChildrenThatChanged) {
    constexpr int kChildren = 48;
    std::vector<std::unique_ptr<ChildProcess>> children;
    ProcessWaitSet set;
    for (int i = 0; i < kChildren; ++i) {
        children.push_back(Shell("sleep 0.0" + std::to_string(i % 10) + "; echo " +
                                 std::to_string(i) + "; exit " + std::to_string(i % 7)));
        set.Add(*children.back());
    }
    const auto state = [](const ChildProcess& child) {
        return std::make_tuple(child.Output(OutputStream::kOut).size(),
                               child.OutputEnded(OutputStream::kOut),
                               child.OutputEnded(OutputStream::kErr), child.exit().has_value());
    };
    std::map<const ChildProcess*, decltype(state(*children.front()))> seen;
    for (const auto& child : children) {
        seen[child.get()] = state(*child);
    }
    const auto deadline = Clock::now() + seconds(60);
    for (std::vector<ChildProcess*> changed; !(changed = set.Wait(deadline)).empty();) {
        for (const ChildProcess* child : changed) {
            EXPECT_NE(state(*child), seen[child]);
            seen[child] = state(*child);
        }
    }
    for (int i = 0; i < kChildren; ++i) {
        ASSERT_TRUE(children[i]->exit());
        EXPECT_EQ(children[i]->exit()->status, i % 7);
        EXPECT_EQ(children[i]->Output(OutputStream::kOut), std::to_string(i) + "\n");
        EXPECT_TRUE(children[i]->OutputEnded(OutputStream::kErr));
    }
}

class DescriptorLimit : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved_), 0); }
    void TearDown() override { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    rlimit saved_{};
};

TEST_F(DescriptorLimit, RaisesTheSoftLimitWhereTheHardOneAllows) {
    if (saved_.rlim_max != RLIM_INFINITY && saved_.rlim_max < 1024) {
        GTEST_SKIP() << "the hard limit is below 1024";
    }
    rlimit low = saved_;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const DescriptorBudget budget = EnsureDescriptorBudget(128, kDescriptorsPerWatchedChild);
    EXPECT_TRUE(budget.ok) << budget.error;
    EXPECT_GE(budget.needed, 128 * kDescriptorsPerWatchedChild);
    rlimit now{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(static_cast<long>(now.rlim_cur), budget.needed);
}

TEST_F(DescriptorLimit, SaysSoWhenTheHardLimitIsTooLow) {
    if (saved_.rlim_max == RLIM_INFINITY) {
        GTEST_SKIP() << "no hard limit";
    }
    const long children = static_cast<long>(saved_.rlim_max) / kDescriptorsPerWatchedChild + 1;
    const DescriptorBudget budget = EnsureDescriptorBudget(children, kDescriptorsPerWatchedChild);
    EXPECT_FALSE(budget.ok);
    EXPECT_NE(budget.error.find("hard limit is " + std::to_string(saved_.rlim_max)),
              std::string::npos)
        << budget.error;
}

}  // namespace
}  // namespace vantor::platform
