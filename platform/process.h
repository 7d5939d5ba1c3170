// Starting and watching child processes: one child's streams, its end and its signals, and a
// wait set that sleeps until any of many children has output or has ended. Nothing here asks a
// child whether it is done: the system says when (on Linux, a pidfd becomes readable), so a
// caller with a hundred children wakes only for the ones that did something.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace vantor::platform {

using ProcessDeadline = std::chrono::steady_clock::time_point;

// Where one of the child's standard streams goes.
struct ChildStream {
    enum class Kind {
        kInherit,     // the parent's own stream
        kNull,        // the null device
        kPipe,        // a pipe the parent reads (stdout, stderr) or writes (stdin)
        kTerminal,    // a pseudo-terminal the parent reads; not the child's controlling one
        kFile,        // a file: read for stdin, else created or truncated and written
        kDescriptor,  // a descriptor of the parent's, which keeps its own copy
        kJoinOut,     // stderr only: wherever stdout goes, as the shell's 2>&1
    };
    Kind kind = Kind::kInherit;
    std::string path;
    int descriptor = -1;

    static ChildStream Inherit() { return {}; }
    static ChildStream Null() { return {Kind::kNull, {}, -1}; }
    static ChildStream Pipe() { return {Kind::kPipe, {}, -1}; }
    static ChildStream Terminal() { return {Kind::kTerminal, {}, -1}; }
    static ChildStream File(std::string file_path) {
        return {Kind::kFile, std::move(file_path), -1};
    }
    static ChildStream Descriptor(int fd) { return {Kind::kDescriptor, {}, fd}; }
    static ChildStream JoinOut() { return {Kind::kJoinOut, {}, -1}; }
};

struct ChildOptions {
    // The program's path (no search through PATH) and its arguments.
    std::vector<std::string> argv;
    // The file to run when it is not argv[0] (such as /proc/self/exe, this program again under
    // the name argv[0] gives it).
    std::string program;
    // Changes to the parent's environment: a value sets the variable, nullopt removes it.
    std::vector<std::pair<std::string, std::optional<std::string>>> environment_changes;
    ChildStream in = ChildStream::Null();
    ChildStream out = ChildStream::Inherit();
    ChildStream err = ChildStream::Inherit();
    // Descriptors the child receives at the same numbers, close-on-exec or not. Any other
    // descriptor the parent holds without close-on-exec is inherited as well, as by exec.
    std::vector<int> inherited_descriptors;
    // The child leads a process group of its own from before it runs, so that the terminal's
    // Ctrl-C reaches only the parent.
    bool own_process_group = false;
    // The child starts with every signal at its default handling and none blocked, whatever the
    // parent ignores (SIGPIPE, say) or blocks.
    bool default_signals = false;
    // Output kept per stream until the caller takes it. A stream at its limit is not read
    // further, so a child that writes more than is taken waits on its pipe instead of growing
    // the parent without bound.
    std::size_t output_limit_bytes = std::size_t{16} << 20;
};

// How a child ended, with what it used.
struct ChildExit {
    int status = -1;  // its exit status; -1 when a signal ended it
    int signal = 0;   // the signal that ended it; 0 when it exited
    double cpu_s = 0;
    long peak_memory_kib = 0;

    bool Exited() const { return signal == 0 && status >= 0; }
};

enum class OutputStream { kOut, kErr };

// SIGKILL's number, which ChildProcess::Signal takes on every system (the C runtime of Windows
// does not name it): the child is ended at once.
inline constexpr int kKillSignal = 9;

class ChildProcess {
  public:
    // Starts the child, or says why it could not be started.
    static Result<std::unique_ptr<ChildProcess>> Start(const ChildOptions& options);

    // A child still running is killed, and every child is reaped and its descriptors closed.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    long id() const;

    // Writes all of `bytes` to the child's stdin pipe, waiting at most until `deadline`;
    // false when the pipe is closed, absent or the deadline passed.
    bool WriteInput(const std::string& bytes, ProcessDeadline deadline);
    // Closes the parent's end of stdin (the child reads its end), or of stdout or stderr (the
    // child's next write there finds no reader).
    void CloseInput();
    void CloseOutput(OutputStream stream);

    // What the child has written to a pipe or terminal stream and the parent has read, and
    // whether that stream has reached its end (or was never read).
    const std::string& Output(OutputStream stream) const;
    std::string TakeOutput(OutputStream stream);
    bool OutputEnded(OutputStream stream) const;

    // Sends `signal_number` (SIGINT, SIGTERM, ...); false when it has already been reaped.
    bool Signal(int signal_number);
    // Kills the child outright.
    bool Kill();

    // Reads its output and waits until it has ended, at most until `deadline`; its end, or
    // nullopt when it is still running then.
    std::optional<ChildExit> WaitUntil(ProcessDeadline deadline);
    // As WaitUntil, and also reads each output stream to its end. At the deadline the child is
    // killed and reaped, and its end (by SIGKILL) returned.
    ChildExit Finish(ProcessDeadline deadline);
    // Asks the child to end (SIGTERM), gives it until `deadline`, then kills it; its end.
    ChildExit Stop(ProcessDeadline deadline);

    // Its end, once reaped.
    const std::optional<ChildExit>& exit() const;

  private:
    struct System;
    explicit ChildProcess(std::unique_ptr<System> system);
    // The system's part of Start, for options that name a program.
    static Result<std::unique_ptr<ChildProcess>> Spawn(const ChildOptions& options);

    std::unique_ptr<System> system_;
    friend class ProcessWaitSet;
};

// Many children watched together. Wait sleeps in one system call on all of their output
// streams and ends at once, and touches only the children that are ready.
class ProcessWaitSet {
  public:
    void Add(ChildProcess& child);
    void Remove(ChildProcess& child);
    std::size_t size() const { return children_.size(); }

    // Waits until at least one member has new output or has ended, until a signal handler has
    // run, or until `deadline`. Reads what is ready into each such member and reaps each that
    // ended; returns those members (none at the deadline or after a signal). A member already
    // ended and read to the end is not returned again.
    std::vector<ChildProcess*> Wait(ProcessDeadline deadline);

  private:
    std::vector<ChildProcess*> children_;
};

// The descriptors the parent holds per child with stdout and stderr on pipes and the child's
// end watched.
constexpr long kDescriptorsPerWatchedChild = 3;

struct DescriptorBudget {
    bool ok = false;
    long needed = 0;      // descriptors open now, plus those the children take, plus a margin
    long soft_limit = 0;  // after any raise
    long hard_limit = 0;
    std::string error;  // why not, when not ok
};

// Checks that `children` more children, each holding `per_child` descriptors in the parent,
// fit under the process's limit on open descriptors, and raises the soft limit as far as
// needed where the hard limit allows.
DescriptorBudget EnsureDescriptorBudget(long children, long per_child);

}  // namespace vantor::platform
