#include "cli/download/download_command.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#include "cli/console/command_line.h"
#include "cli/console/console_output.h"
#include "cli/download/download_settings.h"
#include "cli/download/image_checks.h"
#include "cli/download/port_address.h"
#include "cli/download/run_description.h"
#include "cli/history/history_recording.h"
#include "job/job.h"
#include "link/drive_activation.h"
#include "link/serial_port.h"
#include "platform/clock.h"
#include "platform/serial/port_identity.h"
#include "platform/serial/port_map.h"
#include "platform/stop_handlers.h"
#include "platform/terminal.h"
#include "platform/window_link.h"
#include "records/exit_status.h"
#include "records/json_writer.h"
#include "records/run_record.h"
#include "records/traffic_log.h"

// The command's steps, each calling the next:
//   RunDownloadOnOnePort / RunIdentify   the command
//   ReadArgumentsAndRun                  reads and checks the arguments, finds the device
//   RunAndRecord                         the run with its output, record, traffic log, signals
//   CheckImagesThenRunJob                every image read first, then the job on a tapped port
//   RunJobAndJudge                       the job itself, and what --strict makes of it
namespace vantor::cli {

namespace {

constexpr const char* kCommand = "download";

// The help around the options' and the exit statuses' tables.
constexpr const char* kHelpHead =
    "usage: vantor-cli download [IMAGE] [options]\n"
    "\n"
    "Downloads one Orrim image (IMAGE), or every image of a files list (--files-list), to the\n"
    "drive: finds the drive, switches it into its boot loader, resynchronises, identifies it\n"
    "and sends every packet.\n"
    "\n"
    "options:\n";
constexpr const char* kHelpTail =
    "Every image is read whole before the port is opened. Ctrl-C or SIGTERM stops the run\n"
    "between operations (a second Ctrl-C cuts the operation short, a third ends the program at\n"
    "once); the drive is then left in its boot loader, and --skip-seeking resumes.\n"
    "\n"
    "exit status:\n";

constexpr const char* kIdentifyHelpHead =
    "usage: vantor-cli identify [options]\n"
    "\n"
    "Finds the drive, switches it into its boot loader, resynchronises and identifies it:\n"
    "prints its IdentWord, boot-loader version, hardware revision and address. Then sends the\n"
    "reset frame so that the drive leaves its boot loader, unless --stay is given. No image\n"
    "is needed or touched.\n"
    "\n"
    "options:\n";
constexpr const char* kIdentifyHelpTail =
    "\n"
    "exit status (0 when the drive was identified):\n";
// The statuses identify can end with; their words are the exit status table's.
constexpr int kIdentifyStatuses[] = {records::kExitSuccess,
                                     DesignCode(JobResult::kSeveralDrives),
                                     DesignCode(JobResult::kResyncFailed),
                                     DesignCode(JobResult::kIdentifyFailed),
                                     DesignCode(JobResult::kPortUnopenable),
                                     DesignCode(JobResult::kPortLost),
                                     records::kExitReportUnwritten,
                                     records::kExitOutputUnwritten,
                                     records::kExitUsage,
                                     records::kExitSignalBase + 2};

void PrintHelp(bool identify, const char* line_help) {
    const std::string help = identify
                                 ? kIdentifyHelpHead + IdentifyOptionsHelp() + kIdentifyHelpTail +
                                       records::ExitStatusSummary(kIdentifyStatuses)
                                 : kHelpHead + DownloadOptionsHelp() + "\n" + line_help + "\n" +
                                       kHelpTail + records::ExitStatusHelp();
    std::fputs(help.c_str(), stdout);
}

void ConfigureJob(const DownloadSettings& settings, JobOptions& options) {
    if (const auto index = PortNameIndex(settings.port)) {
        options.PortIndex = *index;
    } else {
        // A device named on the command line stands in for COM1 in this run's port map.
        options.Ports.Set(1, settings.port);
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
    options.SuccessTone = settings.no_tone ? 0 : 1;
}

std::string Hex4(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
    return text;
}

// What --strict makes of a run that the design counts as a success.
Outcome StrictVerdict(const JobRecord& record) {
    if (record.Download.ProtectedWarnings > 0) {
        return {JobResult::kDone, records::kExitStrictProtectedMemory,
                std::to_string(record.Download.ProtectedWarnings) +
                    " packet(s) tried to write or erase protected memory"};
    }
    const int missing = record.Download.MissingResponses + record.Download.UnrecognisedResponses +
                        record.Download.InvalidCommandResponses;
    if (missing > 0) {
        return {JobResult::kDone, records::kExitStrictResponse,
                std::to_string(missing) + " response(s) missing or unrecognised"};
    }
    return {};
}

// The displays have shown the version, the hardware and the address in words; the IdentWord
// they come from, and an address that no probe gave, are said here.
void ShowIdentity(const JobRecord& record, ConsoleOutput& output) {
    const int ident = record.IdentWord;
    const int address = record.Link.AnsweredAddress;
    output.Note("IdentWord: " + Hex4(ident));
    if (address < 0) {
        output.Note("Drive address: none (no address answered in command mode)");
    }
    output.Event("identity",
                 records::JsonObject()
                     .Integer("ident_word", ident)
                     .Integer("hardware_revision", (ident >> 12) & 0xF)
                     .Integer("version_major", (ident >> 6) & 0x3F)
                     .Integer("version_minor", ident & 0x3F)
                     .IntegerOrNull("address", address >= 0 ? std::optional<long long>(address)
                                                            : std::nullopt));
}

// Runs the download job, or the identify job, on the configured port, and judges what it came
// to: the identity shown after an identify, the --strict verdict after a download.
Outcome RunJobAndJudge(const DownloadSettings& settings, JobHost& host, ConsoleOutput& output) {
    ConfigureJob(settings, host.Options);
    host.NotifyWindowFd = settings.notify_fd;
    platform::ScopedWindowLink output_shows_the_job(output);
    if (!settings.image.empty()) {
        // The header check names the file by this label.
        output.SetText(platform::Display::FileNameLabel, BaseName(settings.image));
    }
    host.JobRunning = 1;
    const JobOutcome job = settings.identify ? IdentifyJob(host, settings.stay) : DownloadJob(host);
    if (settings.identify && job == JobResult::kDone) {
        ShowIdentity(host.Record, output);
    }
    if (job == JobResult::kDone && settings.strict) {
        return StrictVerdict(host.Record);
    }
    return {job, records::ExitStatusForJob(job), ""};
}

// No probe got an answer and no break was answered: nothing on this port talks at all.
bool NothingAnswered(const Outcome& outcome, const JobRecord& record) {
    return outcome.job == JobResult::kResyncFailed && record.Link.ProbesAnswered == 0 &&
           record.Link.BreaksAnswered == 0;
}

std::string ResultWord(const Outcome& outcome) {
    if (outcome.job == JobResult::kStopped) {
        return records::kResultInterrupted;
    }
    return outcome.exit_status == records::kExitSuccess ? records::kResultSuccess
                                                        : records::kResultFailed;
}

// Checks every image before the port is opened, then runs the job with the line tap on every
// port it opens (which feeds the traffic log when there is one); the tap comes off on every way
// out. `refused` is set when an image or the files list stopped the run before its port.
Outcome CheckImagesThenRunJob(const DownloadSettings& settings, const records::TakenFilesList& list,
                              JobHost& host, ConsoleOutput& output, records::TrafficLog* log,
                              bool& refused) {
    if (!settings.identify) {
        if (Outcome checked = CheckImagesBeforeThePort(settings, list, host.Options, output);
            checked.exit_status != records::kExitSuccess) {
            refused = true;
            return checked;
        }
    }
    if (host.StopRequested.load() != 0) {
        return {JobResult::kStopped, records::kExitSuccess,
                "interrupted before the port was opened"};
    }
    records::InstallLineTap(log);
    Outcome outcome = RunJobAndJudge(settings, host, output);
    records::InstallLineTap(nullptr);
    return outcome;
}

// The cause of a failed resynchronisation that an activation failure came before: the drive
// it left in command mode (or the address that never answered) is why no break came back, and
// the texts of the re-activations after it (a drive left selected answers the next seek out of
// turn: " Error: Detected multiple drives") are its consequences. Empty when there was none.
std::string FirstActivationCause(const Outcome& outcome, const JobRecord& record) {
    if (outcome.job != JobResult::kResyncFailed ||
        record.Link.FirstFailure == ActivationFailure::kNone) {
        return "";
    }
    return ActivationFailureText(record.Link.FirstFailure);
}

// An interruption's exit status, and the cause of a failure where the last status text does not
// say it.
void ExplainOutcome(const DownloadSettings& settings, Outcome& outcome, const JobRecord& record,
                    ConsoleOutput& output) {
    if (platform::LineAbandoned() && outcome.job != JobResult::kDone) {
        // The second Ctrl-C cut an operation short: whatever the job made of the line it lost,
        // the run was interrupted. A job that had come to its end before it stands.
        outcome = {JobResult::kStopped, records::kExitSuccess,
                   "interrupted twice: the operation under way was cut short; the drive is left "
                   "in its boot loader; run again with --skip-seeking to resume"};
    }
    if (outcome.job == JobResult::kStopped) {
        const int signal_number = platform::StopSignal() != 0 ? platform::StopSignal() : SIGINT;
        outcome.exit_status = records::kExitSignalBase + signal_number;
        if (outcome.detail.empty()) {
            outcome.detail =
                "interrupted: the drive is left in its boot loader; run again with "
                "--skip-seeking to resume";
        }
    }
    if (outcome.detail.empty()) {
        outcome.detail = PortCause(settings.port, outcome.job, output.FailureDetail(), record.Port);
    }
    if (outcome.detail.empty()) {
        outcome.detail = FirstActivationCause(outcome, record);
    }
}

// The lines on stderr that say more than the job's texts, and last where to look for help.
void ExplainOnStderr(const DownloadSettings& settings, int exit_status, bool nothing_answered,
                     bool log_whole, const PortReport& port) {
    // A port that cannot carry breaks is the cause already named; the cable is not in question.
    const char* baud = settings.baud_choice == 1 ? "19200" : "9600";
    if (nothing_answered && !port.carries_no_breaks && settings.address >= 0) {
        // Only the one address was asked: a drive at another one, or at the other speed, is
        // silent here though the wiring is sound.
        std::fprintf(stderr,
                     "vantor-cli: no drive answered at address %d on %s at %s baud: drop "
                     "--address to seek every address, or try --baud %s; when no drive answers "
                     "then either, check the cable and the drive's power\n",
                     settings.address, settings.port.c_str(), baud,
                     settings.baud_choice == 1 ? "9600" : "19200");
    } else if (nothing_answered && !port.carries_no_breaks) {
        std::fprintf(stderr,
                     "vantor-cli: no drive answered on %s at %s baud: check the cable and the "
                     "drive's power before the adapter\n",
                     settings.port.c_str(), baud);
    }
    if (!log_whole) {
        std::fprintf(stderr, "vantor-cli: the traffic log \"%s\" could not be written whole\n",
                     settings.traffic_log.c_str());
    }
    PointToHelp(stderr, exit_status);
}

records::RunSummary Summarise(const DownloadSettings& settings, const Outcome& outcome,
                              const JobRecord& record, const records::RunStart& start,
                              ConsoleOutput& output) {
    records::RunSummary summary;
    summary.result = ResultWord(outcome);
    summary.exit_status = outcome.exit_status;
    summary.job_result = DesignCode(outcome.job);
    summary.meaning = !outcome.meaning.empty()
                          ? outcome.meaning
                          : records::OutcomeMeaning({outcome.job, outcome.exit_status, &record,
                                                     output.FailureDetail()});
    summary.detail = outcome.exit_status == records::kExitSuccess
                         ? ""
                         : (outcome.detail.empty() ? output.FailureDetail() : outcome.detail);
    summary.record = record;
    summary.images_total = static_cast<int>(start.images.size());
    summary.nothing_answered = NothingAnswered(outcome, record);
    summary.strict = settings.strict;
    summary.start = start;
    return summary;
}

// Writes the report when one was asked for. One that cannot be written fails the run with a
// status of its own, and the old report is withdrawn, so that none is left claiming an outcome
// this run did not have; the summary then says so.
void KeepReport(const DownloadSettings& settings, Outcome& outcome, records::RunSummary& summary) {
    if (settings.report.empty()) {
        return;
    }
    const records::JsonObject report =
        records::JsonObject().String("event", "summary").Append(SummaryFields(summary));
    const Result<void> written = records::WriteReportOrWithdraw(settings.report, report.Text());
    if (written) {
        return;
    }
    // Finish says it on stderr, as it says every failure's cause.
    const std::string before = std::to_string(outcome.exit_status) + " " + summary.meaning;
    outcome.exit_status = records::kExitReportUnwritten;
    outcome.detail = "the report \"" + settings.report +
                     "\" could not be written: " + written.reason() + " (the run itself came to " +
                     before + ")";
    summary.exit_status = outcome.exit_status;
    summary.meaning = records::ExitMeaning(outcome.exit_status);
    summary.detail = outcome.detail;
    if (summary.result == records::kResultSuccess) {
        summary.result = records::kResultFailed;
    }
}

// What the run is given, written as its first events: the start, and a line each of a files
// list.
records::RunStart AnnounceRun(const DownloadSettings& settings, const records::TakenFilesList& list,
                              ConsoleOutput& output) {
    records::RunStart start = DescribeRun(settings, list);
    output.Event("start", records::StartFields(start));
    for (std::size_t line = 0; !start.files_list.empty() && line < start.images.size(); ++line) {
        output.Event("start-line", records::StartLineFields(start, line));
    }
    return start;
}

// Runs the job with everything around it: the clock, the traffic log, the output with the run
// record's start and summary events (and the report file), the stop handlers; returns the exit
// status.
int RunAndRecord(const DownloadSettings& settings) {
    const auto started = std::chrono::system_clock::now();
    // The clock goes in first, so that the traffic log's times are on the clock of the job.
    std::optional<platform::VirtualClock> virtual_clock;
    std::optional<platform::ScopedClock> scoped_clock;
    if (settings.virtual_time) {
        virtual_clock.emplace(platform::NowNs());
        scoped_clock.emplace(*virtual_clock);
    }
    std::unique_ptr<records::TrafficLog> log;
    if (!settings.traffic_log.empty()) {
        auto created = records::TrafficLog::Create(settings.traffic_log);
        if (!created) {
            return UsageError(
                settings.identify ? "identify" : kCommand,
                "--traffic-log \"" + settings.traffic_log + "\": " + created.reason());
        }
        log = std::move(*created);
    }
    if (const std::string note = ChoicesNote(settings);
        !note.empty() && !settings.json && !settings.quiet) {
        std::fprintf(stderr, "vantor-cli: %s\n", note.c_str());
    }
    ConsoleOutput output(ChooseOutputMode(settings.json, settings.quiet), stdout, stderr,
                         &records::BytesSent());
    // The files list is read here, once: its lines are what the start record names, what the
    // checks read and what the job sends.
    const records::TakenFilesList list =
        settings.identify ? records::TakenFilesList{} : records::TakeFilesList(settings.files_list);
    const records::RunStart start = AnnounceRun(settings, list, output);

    JobHost host;
    ExpectStartedImages(start, list, host.Options);
    // The handlers stay until the record is written: a Ctrl-C then is only counted, and a
    // third one ends the program.
    platform::InstallStopHandlers(&host.StopRequested);
    bool refused = false;
    Outcome outcome = CheckImagesThenRunJob(settings, list, host, output, log.get(), refused);
    // The port is closed: every record is in.
    const bool log_whole = !log || log->Close();

    ExplainOutcome(settings, outcome, host.Record, output);
    records::RunSummary summary = Summarise(settings, outcome, host.Record, start, output);
    summary.refused = refused;
    summary.started = started;
    summary.ended = std::chrono::system_clock::now();
    KeepReport(settings, outcome, summary);
    output.Finish(outcome.exit_status, DesignCode(outcome.job), outcome.detail, summary.meaning,
                  records::WarningWords(host.Record.Download));
    ExplainOnStderr(settings, outcome.exit_status, summary.nothing_answered, log_whole,
                    host.Record.Port);
    // The history never changes the run's outcome; it says on its own when it fails.
    RecordInHistory(settings.history, settings.no_history, summary, output);
    output.Event("summary", records::SummaryFields(summary));
    platform::RemoveStopHandlers();
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
            WriteErrorEvent(stdout, records::kExitUsage, message);
            break;
        }
    }
    return UsageError(command, message);
}

// No device answers to the port's identity: nothing is opened, and the run ends as a port that
// cannot be opened does.
int PortIdentityUnresolved(const DownloadSettings& settings, const std::string& error) {
    const int status = records::ExitStatusForJob(JobResult::kPortUnopenable);
    if (settings.json) {
        WriteErrorEvent(stdout, status, error);
    }
    std::fprintf(stderr, "vantor-cli: --port %s\n", error.c_str());
    PointToHelp(stderr, status);
    return status;
}

// Reads and checks the arguments (answering --help and --version), finds the device of a port
// named by its identity, and runs.
int ReadArgumentsAndRun(const std::vector<std::string>& arguments, bool identify,
                        const char* line_help = "") {
    // A reader of the output that goes away (a pipe into head, say) must not cut a download
    // short: writes to it then fail quietly, and the job and its exit status carry on.
    platform::IgnoreBrokenPipes();
    const char* command = identify ? "identify" : kCommand;
    DownloadSettings settings;
    settings.identify = identify;
    if (Result<void> parsed = ParseDownloadSettings(arguments, settings); !parsed) {
        return ReportUsageError(arguments, command, parsed.reason());
    }
    if (settings.help) {
        PrintHelp(identify, line_help);
        return records::kExitSuccess;
    }
    if (settings.version) {
        PrintVersion();
        return records::kExitSuccess;
    }
    TakeStoredChoices(settings);
    if (Result<void> checked = CheckDownloadSettings(settings); !checked) {
        return ReportUsageError(arguments, command, checked.reason());
    }
    if (platform::IsPortIdentity(settings.port)) {
        const platform::PortResolution resolved =
            platform::ResolvePortIdentity(settings.port, platform::ListSerialDevices());
        if (resolved.device.empty()) {
            return PortIdentityUnresolved(settings, resolved.error);
        }
        settings.port = resolved.device;
    }
    return RunAndRecord(settings);
}

}  // namespace

int RunDownloadOnOnePort(const std::vector<std::string>& arguments, const char* line_help) {
    return ReadArgumentsAndRun(arguments, false, line_help);
}

Result<void> DownloadUsageProblem(const std::vector<std::string>& arguments) {
    DownloadSettings settings;
    if (Result<void> parsed = ParseDownloadSettings(arguments, settings); !parsed) {
        return parsed;
    }
    return CheckDownloadSettings(settings);
}

int RunIdentify(const std::vector<std::string>& arguments) {
    return ReadArgumentsAndRun(arguments, true);
}

line::StationCommand DownloadStationCommand() {
    return {DownloadOptionTakesValue, DownloadUsageProblem};
}

}  // namespace vantor::cli
