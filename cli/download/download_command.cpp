#include "cli/download/download_command.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#include "cli/console/capture_window.h"
#include "cli/console/command_line.h"
#include "cli/console/console_output.h"
#include "cli/console/exit_status.h"
#include "cli/console/interrupt.h"
#include "cli/console/json_text.h"
#include "cli/console/terminal.h"
#include "cli/ports/port_identity.h"
#include "cli/record/run_record.h"
#include "cli/record/sha256.h"
#include "cli/record/traffic_log.h"
#include "image/files_list.h"
#include "image/image_reader.h"
#include "job/download_image.h"
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
    "  --reset-after       reset the drive after a successful download (a single IMAGE or a\n"
    "                      files list), so that it leaves its boot loader\n"
    "  --notify-fd N       write 1035 and a line feed to file descriptor N after a successful\n"
    "                      single-image download\n"
    "  --traffic-log FILE  log every byte and break on the line, both ways, with timestamps\n"
    "                      (a regular file, or - for stdout)\n"
    "  --json              one JSON object per line on stdout for every event, with a start\n"
    "                      and a closing summary event (the run record)\n"
    "  --report FILE       write the run's summary to FILE as one JSON document, also when the\n"
    "                      run fails (replaced whole, never half written)\n"
    "  --strict            fail on what the design lets pass (statuses 20 to 23)\n"
    "  --quiet             show only the result and errors\n"
    "  --help, -h, --version\n"
    "\n"
    "%s"
    "\n"
    "Every image is read whole before the port is opened. Ctrl-C or SIGTERM stops the run\n"
    "between operations (a second Ctrl-C ends it at once); the drive is then left in its boot\n"
    "loader, and --skip-seeking resumes.\n"
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
    "  20       --strict: a packet met protected memory\n"
    "  21       --strict: a response was missing or unrecognised\n"
    "  22       --strict: the files list has no line\n"
    "  23       --strict: an image sends no packet\n"
    "  30       a production line: some stations failed\n"
    "  64       usage error\n"
    "  130, 143 interrupted by Ctrl-C (SIGINT) or SIGTERM\n";

constexpr const char* kIdentifyHelp =
    "usage: vantor-cli identify [options]\n"
    "\n"
    "Finds the drive, switches it into its boot loader, resynchronises and identifies it:\n"
    "prints its IdentWord, boot-loader version, hardware revision and address. Then sends the\n"
    "reset frame so that the drive leaves its boot loader, unless --stay is given. No image\n"
    "is needed or touched.\n"
    "\n"
    "options:\n"
    "  --port PORT, --baud RATE, --address N, --skip-seeking, --traffic-log FILE, --json,\n"
    "  --report FILE, --quiet   as for download\n"
    "  --stay              leave the drive in its boot loader\n"
    "  --help, -h, --version\n"
    "\n"
    "exit status: 0 identified, 1 several drives answered, 2 resynchronisation failed,\n"
    "3 identification failed, 5 the port cannot be opened, 6 the port was lost, 64 usage\n"
    "error, 130 or 143 interrupted.\n";

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
    bool strict = false;
    std::string report;
    bool stay = false;
    bool help = false;
    bool version = false;
    bool identify = false;  // the identify command, which reads no image
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
    if (option == "--strict") {
        return &settings.strict;
    }
    if (option == "--stay") {
        return &settings.stay;
    }
    if (option == "--help" || option == "-h") {
        return &settings.help;
    }
    return option == "--version" ? &settings.version : nullptr;
}

// Takes a checked value; returns the usage message when it is wrong.
std::optional<std::string> TakeValue(const std::string& option, const std::string& text,
                                     DownloadSettings& settings) {
    if (option == "--files-list" || option == "--port" || option == "--traffic-log" ||
        option == "--report") {
        if (text.empty()) {
            return option + " needs a value";
        }
        (option == "--files-list"    ? settings.files_list
         : option == "--port"        ? settings.port
         : option == "--traffic-log" ? settings.traffic_log
                                     : settings.report) = text;
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
                                                "--baud",       "--address", "--notify-fd",
                                                "--report"};
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
    if (settings.identify) {
        if (!settings.image.empty() || !settings.files_list.empty()) {
            return "identify reads no image: leave out IMAGE and --files-list";
        }
        if (settings.reset_after || settings.strict || settings.notify_fd != 0) {
            return "--reset-after, --strict and --notify-fd belong to download";
        }
    } else if (settings.stay) {
        return "--stay belongs to identify (download leaves the drive as the job does)";
    } else if (settings.image.empty() && settings.files_list.empty()) {
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
    // The CLI also resets after a single image when asked; the window keeps the design's rule.
    options.ResetAfterSingleImage = settings.reset_after ? 1 : 0;
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

// What the checks before the port, or the job, came to.
struct Outcome {
    int job_result = kJobDone;
    int exit_status = kExitSuccess;
    std::string detail;  // the cause when the last status text does not say it
};

std::string Hex4(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
    return text;
}

// Reads what the run was given: the image, or the files list and every line's image, with
// their sizes and hashes. A list that cannot be read gives no line here; the checks say why.
RunStart DescribeRun(const DownloadSettings& settings) {
    RunStart start;
    start.command = settings.identify ? "identify" : kCommand;
    start.port = settings.port;
    start.device = EffectiveAddress(settings.port).value_or("");
    start.baud = settings.baud_choice == 1 ? 19200 : 9600;
    if (settings.identify) {
        return start;
    }
    auto entry = [](const std::string& label, const std::string& path) {
        ImageEntry image{label, path, DigestFile(path), std::nullopt};
        ImageFile file;
        ImageHeader header;
        CaptureWindow quiet;
        platform::ScopedWindowLink scoped(quiet);
        if (file.Open(path) && CheckHeader(file, kRevisionNotYetKnown, "", header) == 0) {
            image.declared_packets = header.PacketCount;
        }
        return image;
    };
    if (settings.files_list.empty()) {
        start.images.push_back(entry("", settings.image));
        return start;
    }
    start.files_list = settings.files_list;
    start.files_list_digest = DigestFile(settings.files_list);
    FilesListFile list;
    std::string line;
    if (list.OpenForJob(settings.files_list)) {
        while (list.ReadLine(line)) {
            const FilesListEntry split = SplitJobLine(line);
            start.images.push_back(entry(split.Name, split.Path));
        }
    }
    return start;
}

// Keeps what a check showed, to be shown only when the check fails.
class RecordingWindow final : public platform::WindowLink {
  public:
    void SetText(platform::Display display, const std::string& text) override {
        texts_[static_cast<int>(display)] = text;
        shown_.push_back({display, text, "", platform::MessageIcon::None, false});
    }
    std::string GetText(platform::Display display) override {
        return texts_[static_cast<int>(display)];
    }
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void MessageBox(const std::string& text, const std::string& caption,
                    platform::MessageIcon icon) override {
        shown_.push_back({platform::Display::StatusLine, text, caption, icon, true});
    }
    void Post(int, int) override {}
    void PostQuit() override {}

    void ReplayTo(platform::WindowLink& window) const {
        for (const Shown& shown : shown_) {
            if (shown.box) {
                window.MessageBox(shown.text, shown.caption, shown.icon);
            } else {
                window.SetText(shown.display, shown.text);
            }
        }
    }

  private:
    struct Shown {
        platform::Display display;
        std::string text;
        std::string caption;
        platform::MessageIcon icon;
        bool box;
    };
    std::string texts_[5];
    std::vector<Shown> shown_;
};

// Reads every image the run will send, as the download will read it: the first fault's
// outcome, with its texts on `window`.
Outcome CheckImages(const DownloadSettings& settings, platform::WindowLink& window) {
    platform::ScopedWindowLink scoped_window(window);
    std::vector<FilesListEntry> entries;
    if (settings.files_list.empty()) {
        entries.push_back({BaseName(settings.image), settings.image});
    } else {
        FilesListFile list;
        std::string line;
        const bool opened = list.OpenForJob(settings.files_list);
        while (opened && list.ReadLine(line)) {
            entries.push_back(SplitJobLine(line));
        }
        if (!opened || list.ReadFailed()) {
            platform::ReportStatus("Failed to open files list", 0);
            return {kJobFilesListUnopenable, ExitStatusForJob(kJobFilesListUnopenable), ""};
        }
        if (entries.empty() && settings.strict) {
            platform::ReportStatus("File not found,press Advanced button to add files.", 0);
            return {kJobDone, kExitStrictEmptyList, "the files list has no line"};
        }
    }
    for (const FilesListEntry& entry : entries) {
        window.SetText(platform::Display::FileNameLabel, entry.Name);
        ImageHeader header;
        int packets = 0;
        if (const int code = CheckImage(entry.Path, header, packets); code != kImageDownloaded) {
            platform::ReportStatus("ERROR: Download failed.", 0);
            return {code, ExitStatusForJob(code), ""};
        }
        if (packets == 0 && settings.strict) {
            return {kJobDone, kExitStrictNoPacket, "\"" + entry.Path + "\" sends no packet"};
        }
    }
    return {};
}

// Every image is read before the port is opened, so that a wrong path or a damaged file fails
// before the drive is switched into its boot loader for nothing. What the checks show reaches
// the output only when one fails.
Outcome CheckBeforeThePort(const DownloadSettings& settings, ConsoleOutput& output) {
    RecordingWindow recorder;
    const Outcome outcome = CheckImages(settings, recorder);
    if (outcome.exit_status != kExitSuccess) {
        recorder.ReplayTo(output);
    }
    return outcome;
}

// What --strict makes of a run that the design counts as a success.
Outcome StrictVerdict(const JobRecord& record) {
    if (record.Download.ProtectedWarnings > 0) {
        return {kJobDone, kExitStrictProtectedMemory,
                std::to_string(record.Download.ProtectedWarnings) +
                    " packet(s) tried to write or erase protected memory"};
    }
    const int missing = record.Download.MissingResponses + record.Download.UnrecognisedResponses;
    if (missing > 0) {
        return {kJobDone, kExitStrictResponse,
                std::to_string(missing) + " response(s) missing or unrecognised"};
    }
    return {};
}

void ShowIdentity(const JobRecord& record, ConsoleOutput& output) {
    const int ident = record.IdentWord;
    const int address = record.Link.AnsweredAddress;
    const std::string address_text = address >= 0 ? std::to_string(address) : "none";
    output.Note("IdentWord: " + Hex4(ident));
    output.Note("version: " + VersionText(static_cast<unsigned>(ident)));
    output.Note("hardware revision: " + RevisionText(static_cast<unsigned>(ident)));
    output.Note("address: " + address_text);
    output.Event("identity",
                 "\"ident_word\":" + std::to_string(ident) +
                     ",\"hardware_revision\":" + std::to_string((ident >> 12) & 0xF) +
                     ",\"version_major\":" + std::to_string((ident >> 6) & 0x3F) +
                     ",\"version_minor\":" + std::to_string(ident & 0x3F) +
                     ",\"address\":" + (address >= 0 ? std::to_string(address) : "null"));
}

Outcome RunJob(const DownloadSettings& settings, JobHost& host, ConsoleOutput& output) {
    ConfigureJob(settings, host.Options);
    host.NotifyWindowFd = settings.notify_fd;
    platform::ScopedWindowLink scoped_window(output);
    if (!settings.image.empty()) {
        // The header check names the file by this label.
        output.SetText(platform::Display::FileNameLabel, BaseName(settings.image));
    }
    host.JobRunning = 1;
    const int job_result = settings.identify ? IdentifyJob(host, settings.stay) : DownloadJob(host);
    if (settings.identify && job_result == kJobDone) {
        ShowIdentity(host.Record, output);
    }
    if (job_result == kJobDone && settings.strict) {
        return StrictVerdict(host.Record);
    }
    return {job_result, ExitStatusForJob(job_result), ""};
}

// No probe got an answer and no break was answered: nothing on this port talks at all.
bool NothingAnswered(const Outcome& outcome, const JobRecord& record) {
    return outcome.job_result == kJobResyncFailed && record.Link.ProbesAnswered == 0 &&
           record.Link.BreaksAnswered == 0;
}

std::string ResultWord(const Outcome& outcome) {
    if (outcome.job_result == kJobStopped) {
        return kResultInterrupted;
    }
    return outcome.exit_status == kExitSuccess ? kResultSuccess : kResultFailed;
}

// Runs the checks and the job with the traffic log open; the log is closed on every way out.
Outcome RunWithLog(const DownloadSettings& settings, JobHost& host, ConsoleOutput& output,
                   TrafficLog* log) {
    if (!settings.identify) {
        if (Outcome checked = CheckBeforeThePort(settings, output);
            checked.exit_status != kExitSuccess) {
            return checked;
        }
    }
    if (host.StopRequested.load() != 0) {
        return {kJobStopped, kExitSuccess, "interrupted before the port was opened"};
    }
    InstallLineTap(log);
    Outcome outcome = RunJob(settings, host, output);
    InstallLineTap(nullptr);
    return outcome;
}

// The lines on stderr that say more than the job's texts.
void ExplainOnStderr(const DownloadSettings& settings, bool nothing_answered, bool log_whole) {
    // A port that cannot carry breaks is the cause already named; the cable is not in question.
    if (nothing_answered && !LastPortReport().carries_no_breaks) {
        std::fprintf(stderr,
                     "vantor-cli: no drive answered on %s at %s baud: check the cable and the "
                     "drive's power before the adapter\n",
                     settings.port.c_str(), settings.baud_choice == 1 ? "19200" : "9600");
    }
    if (!log_whole) {
        std::fprintf(stderr, "vantor-cli: the traffic log \"%s\" could not be written whole\n",
                     settings.traffic_log.c_str());
    }
}

// The summary event, and the report file when one was asked for.
void RecordSummary(const DownloadSettings& settings, const RunSummary& summary,
                   ConsoleOutput& output) {
    const std::string fields = SummaryFields(summary);
    output.Event("summary", fields);
    if (settings.report.empty()) {
        return;
    }
    std::string error;
    if (!WriteReportFile(settings.report, "{\"event\":\"summary\"," + fields + "}", &error)) {
        std::fprintf(stderr, "vantor-cli: the report \"%s\" could not be written: %s\n",
                     settings.report.c_str(), error.c_str());
    }
}

int RunConfigured(const DownloadSettings& settings) {
    const auto started = std::chrono::system_clock::now();
    // The clock goes in first, so that the traffic log's times are on the clock of the job.
    std::optional<platform::VirtualClock> virtual_clock;
    std::optional<platform::ScopedClock> scoped_clock;
    if (settings.virtual_time) {
        virtual_clock.emplace(platform::NowNs());
        scoped_clock.emplace(*virtual_clock);
    }
    const char* command = settings.identify ? "identify" : kCommand;
    std::unique_ptr<TrafficLog> log;
    if (!settings.traffic_log.empty()) {
        std::string error;
        log = TrafficLog::Create(settings.traffic_log, &error);
        if (!log) {
            return UsageError(command, "--traffic-log \"" + settings.traffic_log + "\": " + error);
        }
    }
    ConsoleOutput output(ChooseMode(settings), stdout, stderr, &BytesSent());
    const RunStart start = DescribeRun(settings);
    output.Event("start", StartFields(start));
    for (std::size_t line = 0; !start.files_list.empty() && line < start.images.size(); ++line) {
        output.Event("start-line", StartLineFields(start, line));
    }

    JobHost host;
    InstallStopHandlers(&host.StopRequested);
    Outcome outcome = RunWithLog(settings, host, output, log.get());
    // The port is closed: every record is in.
    const bool log_whole = !log || log->Close();
    RemoveStopHandlers();

    if (outcome.job_result == kJobStopped) {
        const int signal_number = StopSignal() != 0 ? StopSignal() : SIGINT;
        outcome.exit_status = kExitSignalBase + signal_number;
        if (outcome.detail.empty()) {
            outcome.detail =
                "interrupted: the drive is left in its boot loader; run again with "
                "--skip-seeking to resume";
        }
    }
    if (outcome.detail.empty()) {
        outcome.detail = PortCause(settings.port, outcome.job_result, output.FailureDetail());
    }
    output.Finish(outcome.exit_status, outcome.job_result, outcome.detail);
    const bool nothing_answered = NothingAnswered(outcome, host.Record);
    ExplainOnStderr(settings, nothing_answered, log_whole);

    RunSummary summary;
    summary.result = ResultWord(outcome);
    summary.exit_status = outcome.exit_status;
    summary.job_result = outcome.job_result;
    summary.meaning = ExitMeaning(outcome.exit_status);
    summary.detail = outcome.exit_status == kExitSuccess
                         ? ""
                         : (outcome.detail.empty() ? output.FailureDetail() : outcome.detail);
    summary.started = started;
    summary.ended = std::chrono::system_clock::now();
    summary.record = host.Record;
    summary.images_total = static_cast<int>(start.images.size());
    summary.nothing_answered = nothing_answered;
    summary.strict = settings.strict;
    RecordSummary(settings, summary, output);
    return outcome.exit_status;
}

// A usage error: the message on stderr and, with --json, one error event on stdout.
int ReportUsageError(const std::vector<std::string>& arguments, const std::string& command,
                     const std::string& message) {
    for (const std::string& argument : arguments) {
        if (argument == "--") {
            break;
        }
        if (argument == "--json") {
            std::printf(
                "{\"event\":\"error\",\"time_ms\":0.000,\"status\":%d,\"meaning\":\"usage "
                "error\",\"message\":%s}\n",
                kExitUsage, JsonString(message).c_str());
            std::fflush(stdout);
            break;
        }
    }
    return UsageError(command, message);
}

// No device answers to the port's identity: nothing is opened, and the run ends as a port that
// cannot be opened does.
int PortIdentityUnresolved(const DownloadSettings& settings, const std::string& error) {
    const int status = ExitStatusForJob(kJobPortUnopenable);
    if (settings.json) {
        std::printf(
            "{\"event\":\"error\",\"time_ms\":0.000,\"status\":%d,\"meaning\":%s,"
            "\"message\":%s}\n",
            status, JsonString(ExitMeaning(status)).c_str(), JsonString(error).c_str());
        std::fflush(stdout);
    }
    std::fprintf(stderr, "vantor-cli: --port %s\n", error.c_str());
    return status;
}

int RunCommand(const std::vector<std::string>& arguments, bool identify,
               const char* line_help = "") {
    // A reader of the output that goes away (a pipe into head, say) must not cut a download
    // short: writes to it then fail quietly, and the job and its exit status carry on.
    IgnoreBrokenPipes();
    const char* command = identify ? "identify" : kCommand;
    DownloadSettings settings;
    settings.identify = identify;
    if (auto problem = ParseSettings(arguments, settings)) {
        return ReportUsageError(arguments, command, *problem);
    }
    if (settings.help) {
        if (identify) {
            std::fputs(kIdentifyHelp, stdout);
        } else {
            std::string help = kHelp;
            help.replace(help.find("%s"), 2, line_help);
            std::fputs(help.c_str(), stdout);
        }
        return kExitSuccess;
    }
    if (settings.version) {
        PrintVersion();
        return kExitSuccess;
    }
    if (auto problem = CheckSettings(settings)) {
        return ReportUsageError(arguments, command, *problem);
    }
    if (IsPortIdentity(settings.port)) {
        const PortResolution resolved = ResolvePortIdentity(settings.port, ListSerialDevices());
        if (resolved.device.empty()) {
            return PortIdentityUnresolved(settings, resolved.error);
        }
        settings.port = resolved.device;
    }
    return RunConfigured(settings);
}

}  // namespace

int RunDownload(const std::vector<std::string>& arguments, const char* line_help) {
    return RunCommand(arguments, false, line_help);
}

std::optional<std::string> DownloadUsageProblem(const std::vector<std::string>& arguments) {
    DownloadSettings settings;
    if (auto problem = ParseSettings(arguments, settings)) {
        return problem;
    }
    return CheckSettings(settings);
}

int RunIdentify(const std::vector<std::string>& arguments) {
    return RunCommand(arguments, true);
}

}  // namespace vantor::cli
