// One station of a production line runs as a vantor-cli child process of its own, so that a
// fault in one station (a crash, a hung adapter, a signal) never touches another. Starting and
// watching that child is this interface, on the child processes of platform/process.h
// (station_process.cpp); what is the system's own (which program, what the child is told, how an
// interruption reaches it) is in station_system.h. The line's scheduling, options and report are
// the same on every system.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "line/line_splitter.h"
#include "platform/result.h"

namespace vantor::line {

// What a finished child came to.
struct StationExit {
    bool exited = false;  // ended by itself with `status`
    int status = -1;
    int signal = 0;  // the signal that ended it, when it did not exit
    double cpu_s = 0;
    long max_rss_kib = 0;
};

class StationProcess {
  public:
    // Starts this program again with `arguments` (without the program name), with nothing on
    // its standard input and its standard output (the event stream) and error stream read by
    // the parent. The child does not see the terminal's Ctrl-C, which reaches only the parent
    // (the line passes it on once), and it ends when the parent dies, so that no station runs
    // on unwatched. Or why it cannot start.
    static Result<StationProcess> Start(const std::vector<std::string>& arguments);

    StationProcess();  // no child
    ~StationProcess();
    StationProcess(StationProcess&& other) noexcept;
    StationProcess& operator=(StationProcess&& other) noexcept;

    // The child's process id; -1 for no child.
    long Id() const;
    // Hands the complete lines that the last wait read from the child's event stream to
    // `on_event` and those of its error stream to `on_error`. What the child came to once it
    // has ended and all it wrote has gone to the handlers; nothing while it runs.
    std::optional<StationExit> TakeOutput(const LineHandler& on_event, const LineHandler& on_error);
    // Passes an interruption on: SIGINT or SIGTERM, which the child takes as a single run does.
    void Interrupt(int signal_number);
    // Ends the child at once.
    void Kill();

  private:
    friend std::vector<StationProcess*> WaitForStations(
        const std::vector<StationProcess*>& running);

    struct Handles;  // the system's own: on POSIX the child process of platform/process.h
    std::unique_ptr<Handles> handles_;
    LineSplitter events_{64 * 1024};
    LineSplitter errors_{4 * 1024};
};

// Waits, in one call on all of them, until some of the `running` children have written
// something or ended, or until a short while has passed or a signal has come (the line looks at
// its interruptions and redraws its view between waits). Reads a bounded amount from each that
// wrote, so that one chatty station cannot keep the parent from the others; returns those that
// wrote or ended.
std::vector<StationProcess*> WaitForStations(const std::vector<StationProcess*>& running);

// Makes room for `stations` children running at once (on POSIX, raises the limit on open files
// as far as they need where the hard limit allows); fails when there is no room, with why not
// and what to do, as the line's usage error.
Result<void> MakeRoomForStations(long stations);

// In a station's child, first thing: ties it to the line that started it, so that it ends when
// the line dies. Nothing in a program that no line started.
void TieStationToLine();

// "signal 9 (Killed)": the signal that ended a child, for the report.
std::string SignalName(int signal_number);

// Where this system cannot run a line's stations yet: the usage error that refuses a line, and
// the help's paragraph that says so. Nothing where it can.
struct StationsUnavailable {
    const char* usage_error;
    const char* help;
};
std::optional<StationsUnavailable> StationsUnavailableHere();

}  // namespace vantor::line
