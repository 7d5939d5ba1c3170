// Runs the built vantor-cli as a child process and collects what it wrote and its exit status.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/process.h"

namespace vantor::test {

struct CliRun {
    int status = -1;  // the exit status; -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// Runs `vantor-cli ARGUMENTS` with stdout and stderr captured (stdout is not a terminal), with
// the settings store pointed at a file that does not exist, so that the port map is the
// default one. File descriptors opened without close-on-exec are inherited.
CliRun RunCli(const std::vector<std::string>& arguments);

// As RunCli, with the settings store at `registry_path`.
CliRun RunCliWithStore(const std::vector<std::string>& arguments, const std::string& registry_path);

// What RunCliWith changes from RunCli's set-up.
struct CliSetup {
    // Set (a value) or removed (nothing) in the child's environment, after the store's own.
    std::vector<std::pair<std::string, std::optional<std::string>>> environment;
    // Where stdout goes instead of a file that is read back (run.out then stays empty).
    std::optional<platform::ChildStream> out;
};

// As RunCli, with the environment changed and stdout sent elsewhere as `setup` says.
CliRun RunCliWith(const std::vector<std::string>& arguments, CliSetup setup);

// As RunCli, with the limit on open files lowered to `soft` (and `hard` for the hard one), set
// by util-linux's prlimit before it starts the program.
CliRun RunCliWithOpenFilesLimit(const std::vector<std::string>& arguments, long soft, long hard);

// As RunCli, with stdout on a pipe whose reader has gone away.
CliRun RunCliIntoClosedPipe(const std::vector<std::string>& arguments);

// As RunCli, and sends `signal_number` to the child once its stdout holds `after_text`. A
// child that never writes it gives the run status -1.
CliRun RunCliSignalled(const std::vector<std::string>& arguments, int signal_number,
                       const std::string& after_text);

// As RunCli, and calls `react` with all of stdout so far whenever more has come, until it
// returns true (it may signal the program or its children then). A child that has not ended
// within 120 seconds is killed and the run has status -1.
CliRun RunCliReacting(
    const std::vector<std::string>& arguments,
    const std::function<bool(platform::ChildProcess& program, const std::string& out)>& react);

// As RunCli, with stdout on a pseudo-terminal, so that the progress line is drawn.
CliRun RunCliOnTerminal(const std::vector<std::string>& arguments);

// Kills the process `pid` outright from outside, as an operator would; true when it was.
bool KillFromOutside(long pid);
// The status a line reports for a station killed so: 128 + SIGKILL.
inline constexpr int kKilledStatus = 128 + 9;

// A fresh directory for one test's files, removed with everything in it afterwards.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    // Writes `bytes` to the file `name` and returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const;
    std::string Write(const std::string& name, const std::vector<unsigned char>& bytes) const;
    static std::string Read(const std::string& path);

  private:
    std::string path_;
};

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text);

}  // namespace vantor::test
