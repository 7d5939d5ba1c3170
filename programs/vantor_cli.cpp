// vantor-cli: the download job without a window, for scripts and production lines.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console/command_line.h"
#include "cli/console/console_output.h"
#include "cli/download/download_command.h"
#include "cli/history/history_recording.h"
#include "cli/image_info/image_info.h"
#include "cli/line/production_line.h"
#include "cli/ports/ports_command.h"
#include "line/line_options.h"
#include "line/station_process.h"
#include "records/exit_status.h"
#ifdef VANTOR_HAVE_SERVE
#include "serve/serve_command.h"
#elif defined(VANTOR_SERVE_PROGRAM)
#include "serve_program.h"
#endif
#include "sim/simulated_line.h"

namespace vantor::cli {
namespace {

constexpr const char* kHelp =
    "usage: vantor-cli COMMAND [options]\n"
    "\n"
    "commands:\n"
    "  download [IMAGE] [options]      download an image, or a files list, to the drive\n"
    "  identify [options]              identify the drive; no image needed\n"
    "  image-info IMAGE [--revision ID] show what an image holds and whether it is whole\n"
    "  ports                           show the port names and the serial devices\n"
    "  ports set COMn DEVICE           make a port name stand for a device\n"
    "  ports unset COMn                give a port name its default device again\n"
    "  history [list|stats|prune|sync] the runs recorded: filters, counts, pruning\n"
    "  serve (IMAGE | --files-list PATH) --port PORT...\n"
    "                                  serve a line on HTTP: a live dashboard and an API\n"
    "\n"
    "Each command takes --help (-h) and --version. The main command:\n"
    "  vantor-cli download IMAGE --port sim   (the built-in simulated drive)\n"
    "\n"
    "exit status of download:\n";

void PrintHelp(std::FILE* stream) {
    std::fputs(kHelp, stream);
    std::fputs(records::ExitStatusSummary().c_str(), stream);
}

// `download` on several ports is a production line; on one it runs in this process.
int RunDownloadCommand(const std::vector<std::string>& arguments) {
    return WantsProductionLine(arguments, DownloadStationCommand())
               ? RunProductionLine(arguments)
               : RunDownloadOnOnePort(arguments, ProductionLineHelp());
}

#ifdef VANTOR_HAVE_SERVE
// serve's stations run this program's download.
int RunServeCommand(const std::vector<std::string>& arguments) {
    return serve::RunServe(arguments, DownloadStationCommand());
}
#elif defined(VANTOR_SERVE_PROGRAM)
// serve runs as vantor-serve, which has the HTTP library that this program leaves out.
int RunServeCommand(const std::vector<std::string>& arguments) {
    return StartServeProgram(arguments, VANTOR_SERVE_PROGRAM);
}
#else
int RunServeCommand(const std::vector<std::string>&) {
#ifdef _WIN32
    return UsageError("serve", "serve is not available on Windows");
#else
    return UsageError("serve", "serve is not available in this build (built without cpp-httplib)");
#endif
}
#endif

// The commands, each a feature's entry (cli/FEATURE/): it takes the arguments after the
// command's name and returns the exit status.
struct Command {
    std::string_view name;
    int (*run)(const std::vector<std::string>& arguments);
};
constexpr Command kCommands[] = {
    {"download", RunDownloadCommand}, {"identify", RunIdentify},
    {"image-info", RunImageInfo},     {"ports", RunPorts},
    {"history", RunHistory},          {"serve", RunServeCommand},
};

// The command's exit status, once what it wrote is out. Output that could not be written turns
// a success into kExitOutputUnwritten; a failure keeps its own status, which says more.
int WithOutputChecked(int exit_status) {
    const Result<void> output = EndOutput();
    if (output) {
        return exit_status;
    }
    std::fprintf(stderr, "vantor-cli: %s: %s\n",
                 records::ExitMeaning(records::kExitOutputUnwritten).c_str(),
                 output.reason().c_str());
    return exit_status == records::kExitSuccess ? records::kExitOutputUnwritten : exit_status;
}

}  // namespace
}  // namespace vantor::cli

int main(int argc, char** argv) {
    using namespace vantor::cli;
    vantor::line::TieStationToLine();
    vantor::sim::RegisterSimulatedDeviceScheme();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty()) {
        PrintHelp(stderr);
        return vantor::records::kExitUsage;
    }
    const std::string& command = arguments.front();
    const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    if (command == "--help" || command == "-h" || command == "help") {
        PrintHelp(stdout);
        return vantor::records::kExitSuccess;
    }
    if (command == "--version") {
        PrintVersion();
        return vantor::records::kExitSuccess;
    }
    for (const Command& known : kCommands) {
        if (command == known.name) {
            return WithOutputChecked(known.run(rest));
        }
    }
    std::vector<std::string_view> names;
    for (const Command& known : kCommands) {
        names.push_back(known.name);
    }
    std::fprintf(stderr, "vantor-cli: unknown command \"%s\"%s\nTry 'vantor-cli --help'.\n",
                 command.c_str(), DidYouMean(command, names).c_str());
    return vantor::records::kExitUsage;
}
