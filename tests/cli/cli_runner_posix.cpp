// The runs of cli_runner.h that need what only POSIX has: prlimit, a pipe with no reader, a
// pseudo-terminal, and kill.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>

#include "cli/cli_runner.h"
#include "cli/cli_start.h"

namespace vantor::test {

using platform::ChildStream;
using platform::OutputStream;

CliRun RunCliWithOpenFilesLimit(const std::vector<std::string>& arguments, long soft, long hard) {
    TempDir dir;
    const std::vector<std::string> launcher{
        "/usr/bin/prlimit", "--nofile=" + std::to_string(soft) + ":" + std::to_string(hard), "--"};
    auto child = StartCli(arguments, ChildStream::File(dir.Path("stdout")),
                          ChildStream::File(dir.Path("stderr")), dir.Path("registry"), launcher);
    CliRun run;
    run.status = StatusOf(child->Finish(ChildDeadline()));
    run.out = TempDir::Read(dir.Path("stdout"));
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

CliRun RunCliIntoClosedPipe(const std::vector<std::string>& arguments) {
    TempDir dir;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("no pipe");
    }
    ::close(fds[0]);
    auto child = StartCli(arguments, ChildStream::Descriptor(fds[1]),
                          ChildStream::File(dir.Path("stderr")), dir.Path("registry"));
    ::close(fds[1]);
    CliRun run;
    run.status = StatusOf(child->Finish(ChildDeadline()));
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

CliRun RunCliOnTerminal(const std::vector<std::string>& arguments) {
    TempDir dir;
    auto child = StartCli(arguments, ChildStream::Terminal(), ChildStream::File(dir.Path("stderr")),
                          dir.Path("registry"));
    CliRun run;
    run.status = StatusOf(child->Finish(ChildDeadline()));
    run.out = child->Output(OutputStream::kOut);
    run.err = TempDir::Read(dir.Path("stderr"));
    return run;
}

bool KillFromOutside(long pid) {
    return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

}  // namespace vantor::test
