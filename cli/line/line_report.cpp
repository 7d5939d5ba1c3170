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

records::JsonObject AttemptJson(const line::Attempt& attempt) {
    const auto positive = [](long long value) {
        return value > 0 ? std::optional(value) : std::nullopt;
    };
    records::JsonObject object;
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

records::RunStart DescribeLine(const line::LineSettings& settings) {
    records::RunStart given;
    given.command = "download";
    given.host = records::HostName();
    DescribeImages(settings.image, settings.files_list, given);
    return given;
}

Result<void> LineReportProblem(const line::LineSettings& settings) {
    if (settings.report.empty()) {
        return {};
    }
    if (Result<void> checked = records::ReportPlaceProblem(settings.report); !checked) {
        return Failure{"--report \"" + settings.report + "\": " + checked.reason()};
    }
    return {};
}

int KeepLineReport(const line::LineSettings& settings, const line::Line& line,
                   const records::RunStart& given, records::JsonObject& fields) {
    if (settings.report.empty()) {
        return line.ExitStatus();
    }
    const Result<void> written = records::WriteReportOrWithdraw(settings.report, fields.Text());
    if (written) {
        return line.ExitStatus();
    }
    const std::string detail =
        "the report \"" + settings.report + "\" could not be written: " + written.reason();
    std::fprintf(stderr, "vantor-cli: %s\n", detail.c_str());
    fields = LineReportFields(settings, line, given, detail);
    return records::kExitReportUnwritten;
}

records::JsonObject LineReportFields(const line::LineSettings& settings, const line::Line& line,
                                     const records::RunStart& given,
                                     const std::string& report_problem) {
    const int status = report_problem.empty() ? line.ExitStatus() : records::kExitReportUnwritten;
    records::JsonArray stations;
    records::JsonArray failed;
    int succeeded = 0;
    for (const line::Station& station : line.Stations()) {
        const bool success = station.result == line::kStationSuccess;
        succeeded += success ? 1 : 0;
        if (!success) {
            failed.Integer(station.number);
        }
        records::JsonArray attempts;
        for (const line::Attempt& attempt : station.attempts) {
            attempts.Object(AttemptJson(attempt));
        }
        stations.Object(records::JsonObject()
                            .Integer("station", station.number)
                            .String("port", station.port)
                            .String("result", station.result)
                            .IntegerOrNull("status", station.attempts.empty()
                                                         ? std::nullopt
                                                         : std::optional<long long>(station.status))
                            .Array("attempts", attempts));
    }
    const std::string result = platform::FirstCountedSignal() != 0 ? line::kStationInterrupted
                               : status == records::kExitSuccess   ? line::kStationSuccess
                                                                   : line::kStationFailed;
    const bool one_image = settings.files_list.empty();
    const line::UnrecordedRuns unrecorded = UnrecordedRunsOf(line.Stations());
    return records::JsonObject()
        .String("tool", "vantor-cli")
        .String("version", VANTOR_VERSION)
        .String("command", "download")
        .StringOrNull("image", one_image ? std::optional(settings.image) : std::nullopt)
        .StringOrNull("files_list", one_image ? std::nullopt : std::optional(settings.files_list))
        .String("result", result)
        .Integer("status", status)
        .String("meaning", records::ExitMeaning(status))
        .String("started", records::IsoUtc(line.Started()))
        .String("ended", records::IsoUtc(line.Ended()))
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
        .Array("images", records::ImagesFields(given, {}));
}

}  // namespace vantor::cli
