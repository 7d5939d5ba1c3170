#include "cli/line/line_report.h"

#include <cstdio>

#include "cli/download/run_description.h"
#include "platform/stop_handlers.h"
#include "records/exit_status.h"
#include "records/json_writer.h"
#include "records/log_file.h"
#include "records/run_record.h"

namespace vantor::cli {

namespace {

JsonObject AttemptJson(const Attempt& attempt) {
    const auto positive = [](long long value) {
        return value > 0 ? std::optional(value) : std::nullopt;
    };
    JsonObject object;
    object.Integer("attempt", attempt.number)
        .String("device", attempt.device)
        .IntegerOrNull("pid", positive(attempt.pid))
        .String("result", attempt.result)
        .Integer("status", attempt.status)
        .IntegerOrNull("signal", positive(attempt.signal))
        .String("meaning", attempt.meaning)
        .String("detail", attempt.detail)
        .Fixed3("duration_s", attempt.duration_s)
        .Fixed3("cpu_s", attempt.cpu_s)
        .Integer("max_rss_kib", attempt.max_rss_kib)
        .VerbatimOrNull("record", attempt.record);
    // Whether the run's record is in the history (or waits for a site's database); null when
    // the run said nothing of it.
    if (attempt.recorded) {
        object.Bool("recorded", *attempt.recorded);
    } else {
        object.Null("recorded");
    }
    return object.StringOrNull("history_error", attempt.history_error.empty()
                                                    ? std::nullopt
                                                    : std::optional(attempt.history_error));
}

}  // namespace

RunStart DescribeLine(const LineSettings& settings) {
    RunStart given;
    given.command = "download";
    given.host = HostName();
    DescribeImages(settings.image, settings.files_list, given);
    return given;
}

std::optional<std::string> LineReportProblem(const LineSettings& settings) {
    if (settings.report.empty()) {
        return std::nullopt;
    }
    if (auto problem = ReportPlaceProblem(settings.report)) {
        return "--report \"" + settings.report + "\": " + *problem;
    }
    return std::nullopt;
}

int KeepLineReport(const LineSettings& settings, const Line& line, const RunStart& given,
                   JsonObject& fields) {
    if (settings.report.empty()) {
        return line.ExitStatus();
    }
    const auto problem = WriteReportOrWithdraw(settings.report, fields.Text());
    if (!problem) {
        return line.ExitStatus();
    }
    const std::string detail =
        "the report \"" + settings.report + "\" could not be written: " + *problem;
    std::fprintf(stderr, "vantor-cli: %s\n", detail.c_str());
    fields = LineReportFields(settings, line, given, detail);
    return kExitReportUnwritten;
}

JsonObject LineReportFields(const LineSettings& settings, const Line& line, const RunStart& given,
                            const std::string& report_problem) {
    const int status = report_problem.empty() ? line.ExitStatus() : kExitReportUnwritten;
    JsonArray stations;
    JsonArray failed;
    int succeeded = 0;
    for (const Station& station : line.Stations()) {
        const bool success = station.result == kStationSuccess;
        succeeded += success ? 1 : 0;
        if (!success) {
            failed.Integer(station.number);
        }
        JsonArray attempts;
        for (const Attempt& attempt : station.attempts) {
            attempts.Object(AttemptJson(attempt));
        }
        stations.Object(JsonObject()
                            .Integer("station", station.number)
                            .String("port", station.port)
                            .String("result", station.result)
                            .IntegerOrNull("status", station.attempts.empty()
                                                         ? std::nullopt
                                                         : std::optional<long long>(station.status))
                            .Array("attempts", attempts));
    }
    const std::string result = FirstCountedSignal() != 0 ? kStationInterrupted
                               : status == kExitSuccess  ? kStationSuccess
                                                         : kStationFailed;
    const bool one_image = settings.files_list.empty();
    const UnrecordedRuns unrecorded = UnrecordedRunsOf(line.Stations());
    return JsonObject()
        .String("tool", "vantor-cli")
        .String("version", VANTOR_VERSION)
        .String("command", "download")
        .StringOrNull("image", one_image ? std::optional(settings.image) : std::nullopt)
        .StringOrNull("files_list", one_image ? std::nullopt : std::optional(settings.files_list))
        .String("result", result)
        .Integer("status", status)
        .String("meaning", ExitMeaning(status))
        .String("started", IsoUtc(line.Started()))
        .String("ended", IsoUtc(line.Ended()))
        .Fixed3("duration_s", std::chrono::duration<double>(line.Ended() - line.Started()).count())
        .Integer("stations_total", static_cast<long long>(line.Stations().size()))
        .Integer("stations_succeeded", succeeded)
        .Array("stations_not_succeeded", failed)
        .Integer("runs_not_recorded", unrecorded.count)
        .String("history_error", unrecorded.reason)
        .Array("stations", stations)
        .String("detail", report_problem)
        .String("host", given.host)
        .StringOrNull("files_list_sha256", given.files_list_digest
                                               ? std::optional(given.files_list_digest->sha256)
                                               : std::nullopt)
        .Array("images", ImagesFields(given, {}));
}

}  // namespace vantor::cli
