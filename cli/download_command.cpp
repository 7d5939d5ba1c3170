#include "cli/download_command.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#include "cli/command_line.h"
#include "cli/console_output.h"
#include "cli/exit_status.h"
#include "cli/terminal.h"
#include "cli/traffic_log.h"
#include "job/job.h"
#include "link/serial_port.h"
#include "platform/clock.h"
#include "platform/serial/port_map.h"
#include "platform/serial/rfc2217_device.h"
#include "platform/window_link.h"
#include "sim/sim_world.h"

namespace vantor::cli {

namespace {

constexpr const char* kCommand = "download";
constexpr int kHighestAddress = 31;

constexpr const char* kHelp =
    "usage: vantor-cli download [IMAGE] [options]\n"
    "\n"
    "Downloads one Orrim image (IMAGE), or every image of a files list (--files-list), to the\n"
    "drive: finds the drive, switches it into its boot loader, resynchronises, identifies it\n"
    "and sends every packet.\n"
    "\n"
    "options:\n"
    "  --files-list PATH   download every line of this files list instead of one IMAGE\n"
    "  --port PORT         COM1 to COM4 through the port map (default COM1), or a device:\n"
    "                      /dev/ttyUSB0, rfc2217://HOST:PORT, sim or sim:OPTIONS\n"
    "  --baud RATE         9600 (default) or 19200\n"
    "  --address N         activate the drive at this address, 0 to 31 or its character\n"
    "                      0-9, A-V, instead of seeking it\n"
    "  --skip-seeking      the drive is in its boot loader already: do not look for it first\n"
    "  --reset-after       reset the drive after a files-list download\n"
    "  --notify-fd N       write 1035 and a line feed to file descriptor N after a successful\n"
    "                      single-image download\n"
    "  --traffic-log FILE  log every byte and break on the line, both ways, with timestamps\n"
    "                      (a regular file, or - for stdout)\n"
    "  --json              one JSON object per line on stdout for every event\n"
    "  --quiet             show only the result and errors\n"
    "  --help, -h, --version\n"
    "\n"
    "exit status:\n"
    "  0        success\n"
    "  1        several drives answered\n"
    "  2        resynchronisation failed\n"
    "  3        identification failed\n"
    "  4        the files list cannot be opened\n"
    "  5        the port cannot be opened\n"
    "  6        the port was lost during the job (connection ended, adapter pulled out)\n"
    "  100+|c|  an image failed with the DownloadImage code c (106 for -6)\n"
    "  64       usage error\n";

struct DownloadSettings {
    std::string image;
    std::string files_list;
    std::string port = "COM1";
    int baud_choice = 0;
    int address = -1;
    bool skip_seeking = false;
    bool reset_after = false;
    int notify_fd = 0;
    std::string traffic_log;
    bool json = false;
    bool quiet = false;
    bool virtual_time = false;
    bool help = false;
    bool version = false;
};

// The address as a number (0 to 31) or as the character the drive shows ("0"-"9", "A"-"V").
std::optional<int> ParseAddress(const std::string& text) {
    if (const auto number = ParseWhole(text, 0, kHighestAddress)) {
        return static_cast<int>(*number);
    }
    if (text.size() == 1) {
        const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        if (letter >= 'A' && letter <= 'V') {
            return letter - 'A' + 10;
        }
    }
    return std::nullopt;
}

// "COM0" to "COM9" are port names; the job can only name COM1 to COM4 through the map, and
// every other one fails to open, as the design's port names do.
std::optional<int> PortNameIndex(const std::string& port) {
    if (port.size() == 4 && port.compare(0, 3, "COM") == 0 &&
        std::isdigit(static_cast<unsigned char>(port[3]))) {
        return port[3] - '1';
    }
    return std::nullopt;
}

// The device address the job will open, when the port map knows one; `problem` says why the
// stored map could not be read, if that is why not.
std::optional<std::string> EffectiveAddress(const std::string& port,
                                            std::string* problem = nullptr) {
    if (PortNameIndex(port)) {
        return platform::ResolvePortName(port, problem);
    }
    return port;
}

bool IsSimAddress(const std::string& address) {
    return address == "sim" || address.rfind("sim:", 0) == 0;
}

// The options that take no value, and the setting each turns on.
bool* FlagSetting(const std::string& option, DownloadSettings& settings) {
    if (option == "--skip-seeking") {
        return &settings.skip_seeking;
    }
    if (option == "--reset-after") {
        return &settings.reset_after;
    }
    if (option == "--json") {
        return &settings.json;
    }
    if (option == "--quiet") {
        return &settings.quiet;
    }
    if (option == "--virtual-time") {
        return &settings.virtual_time;
    }
    if (option == "--help" || option == "-h") {
        return &settings.help;
    }
    return option == "--version" ? &settings.version : nullptr;
}

// Takes a checked value; returns the usage message when it is wrong.
std::optional<std::string> TakeValue(const std::string& option, const std::string& text,
                                     DownloadSettings& settings) {
    if (option == "--files-list" || option == "--port" || option == "--traffic-log") {
        if (text.empty()) {
            return option + " needs a value";
        }
        (option == "--files-list" ? settings.files_list
         : option == "--port"     ? settings.port
                                  : settings.traffic_log) = text;
    } else if (option == "--baud") {
        if (text != "9600" && text != "19200") {
            return "--baud \"" + text + "\": the drive talks at 9600 or 19200";
        }
        settings.baud_choice = text == "19200" ? 1 : 0;
    } else if (option == "--address") {
        const auto address = ParseAddress(text);
        if (!address) {
            return "--address \"" + text + "\": an address is 0 to 31, or a character 0-9, A-V";
        }
        settings.address = *address;
    } else {
        const auto fd = ParseWhole(text, 0, INT_MAX);
        if (!fd) {
            return "--notify-fd \"" + text + "\": not a file descriptor number";
        }
        if (const std::string problem = platform::NotifyDescriptorProblem(static_cast<int>(*fd));
            !problem.empty()) {
            return "--notify-fd " + text + ": " + problem;
        }
        settings.notify_fd = static_cast<int>(*fd);
    }
    return std::nullopt;
}

// Reads one option; returns the usage message when it is wrong.
std::optional<std::string> ReadOption(ArgumentReader& reader, const std::string& option,
                                      DownloadSettings& settings) {
    if (bool* flag = FlagSetting(option, settings)) {
        if (reader.HasAttachedValue()) {
            return option + " takes no value";
        }
        *flag = true;
        return std::nullopt;
    }
    static const char* const kValueOptions[] = {"--files-list", "--port",    "--traffic-log",
                                                "--baud",       "--address", "--notify-fd"};
    if (std::find(std::begin(kValueOptions), std::end(kValueOptions), option) ==
        std::end(kValueOptions)) {
        return "unknown option \"" + option + "\"";
    }
    std::string error;
    const auto text = reader.Value(option, error);
    if (!text) {
        return error;
    }
    return TakeValue(option, *text, settings);
}

std::optional<std::string> ParseSettings(const std::vector<std::string>& arguments,
                                         DownloadSettings& settings) {
    ArgumentReader reader(arguments);
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        if (reader.IsOption(argument)) {
            if (auto problem = ReadOption(reader, argument, settings)) {
                return problem;
            }
        } else if (settings.image.empty() && !argument.empty()) {
            settings.image = argument;
        } else {
            return "unexpected argument \"" + argument + "\" (one IMAGE at most)";
        }
    }
    return std::nullopt;
}

std::optional<std::string> CheckSettings(const DownloadSettings& settings) {
    if (settings.image.empty() && settings.files_list.empty()) {
        return "missing IMAGE or --files-list PATH: nothing to download";
    }
    if (!settings.image.empty() && !settings.files_list.empty()) {
        return "IMAGE \"" + settings.image + "\" and --files-list exclude each other";
    }
    if (settings.json && settings.quiet) {
        return "--json and --quiet exclude each other";
    }
    const auto address = EffectiveAddress(settings.port);
    if (address) {
        if (auto problem = platform::Rfc2217AddressProblem(*address)) {
            return "--port: " + *problem;
        }
    }
    if (address && address->rfind("sim:", 0) == 0) {
        std::string error;
        if (!sim::ParseSimOptions(address->substr(4), &error)) {
            return "--port \"" + *address + "\": " + error;
        }
    }
    if (settings.virtual_time && !(address && IsSimAddress(*address))) {
        return "--virtual-time runs only against the simulated drive (--port sim[:OPTIONS])";
    }
    return std::nullopt;
}

void ConfigureJob(const DownloadSettings& settings, JobOptions& options) {
    if (const auto index = PortNameIndex(settings.port)) {
        options.PortIndex = *index;
    } else {
        // A device named on the command line stands in for COM1 in this process only.
        platform::SetPortMapOverride(1, settings.port);
        options.PortIndex = 0;
    }
    options.BaudChoice = settings.baud_choice;
    options.ImagePath = settings.image;
    options.FilesListPath = settings.files_list;
    options.SkipSeeking = settings.skip_seeking ? 1 : 0;
    options.UseSpecificAddress = settings.address >= 0 ? 1 : 0;
    options.SpecificAddress = settings.address;
    options.ResetAfterDownload = settings.reset_after ? 1 : 0;
}

// Why the port did not open, as the device said when it refused.
std::string ExplainUnopenablePort(const std::string& port) {
    std::string problem;
    const auto address = EffectiveAddress(port, &problem);
    if (!address) {
        return problem.empty() ? port + " is not a port name the port map knows (COM1 to COM4)"
                               : port + " has no device: " + problem;
    }
    const std::string prefix = *address == port ? "" : port + " stands for " + *address + ": ";
    return prefix + LastPortReport().open_error;
}

// The cause of a failure that the port knows better than the status line; empty otherwise.
std::string PortCause(const std::string& port, int job_result, const std::string& status) {
    if (job_result == kJobPortUnopenable) {
        return ExplainUnopenablePort(port);
    }
    if (job_result == kJobResyncFailed && LastPortReport().carries_no_breaks) {
        return status + "; this port cannot carry serial breaks";
    }
    return "";
}

OutputMode ChooseMode(const DownloadSettings& settings) {
    if (settings.json) {
        return OutputMode::Json;
    }
    if (settings.quiet) {
        return OutputMode::Quiet;
    }
    return ::isatty(STDOUT_FILENO) ? OutputMode::Terminal : OutputMode::Plain;
}

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int RunJob(const DownloadSettings& settings, ConsoleOutput& output) {
    JobHost host;
    ConfigureJob(settings, host.Options);
    host.NotifyWindowFd = settings.notify_fd;
    platform::ScopedWindowLink scoped_window(output);
    if (!settings.image.empty()) {
        // The header check names the file by this label.
        output.SetText(platform::Display::FileNameLabel, BaseName(settings.image));
    }
    host.JobRunning = 1;
    return DownloadJob(host);
}

int RunConfigured(const DownloadSettings& settings) {
    // The clock goes in first, so that the traffic log's times are on the clock of the job.
    std::optional<platform::VirtualClock> virtual_clock;
    std::optional<platform::ScopedClock> scoped_clock;
    if (settings.virtual_time) {
        virtual_clock.emplace(platform::NowNs());
        scoped_clock.emplace(*virtual_clock);
    }
    std::unique_ptr<TrafficLog> log;
    if (!settings.traffic_log.empty()) {
        std::string error;
        log = TrafficLog::Create(settings.traffic_log, &error);
        if (!log) {
            return UsageError(kCommand, "--traffic-log \"" + settings.traffic_log + "\": " + error);
        }
    }
    InstallLineTap(log.get());
    ConsoleOutput output(ChooseMode(settings), stdout, stderr, &BytesSent());
    const int job_result = RunJob(settings, output);
    const int exit_status = ExitStatusForJob(job_result);
    output.Finish(exit_status, job_result,
                  PortCause(settings.port, job_result, output.FailureDetail()));
    InstallLineTap(nullptr);
    // The port is closed: every record is in.
    if (log && !log->Close()) {
        std::fprintf(stderr, "vantor-cli: the traffic log \"%s\" could not be written whole\n",
                     settings.traffic_log.c_str());
    }
    return exit_status;
}

}  // namespace

int RunDownload(const std::vector<std::string>& arguments) {
    // A reader of the output that goes away (a pipe into head, say) must not cut a download
    // short: writes to it then fail quietly, and the job and its exit status carry on.
    IgnoreBrokenPipes();
    DownloadSettings settings;
    if (auto problem = ParseSettings(arguments, settings)) {
        return UsageError(kCommand, *problem);
    }
    if (settings.help) {
        std::fputs(kHelp, stdout);
        return kExitSuccess;
    }
    if (settings.version) {
        PrintVersion();
        return kExitSuccess;
    }
    if (auto problem = CheckSettings(settings)) {
        return UsageError(kCommand, *problem);
    }
    return RunConfigured(settings);
}

}  // namespace vantor::cli
