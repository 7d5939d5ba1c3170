#include "cli/line/line_report.h"

#include <cstdio>

#include "cli/console/exit_status.h"
#include "cli/console/interrupt.h"
#include "cli/console/json_writer.h"
#include "cli/record/run_record.h"

namespace vantor::cli {

namespace {

std::string AttemptJson(const Attempt& attempt) {
    char figures[96];
    std::snprintf(figures, sizeof figures,
                  ",\"duration_s\":%.3f,\"cpu_s\":%.3f,\"max_rss_kib\":%ld", attempt.duration_s,
                  attempt.cpu_s, attempt.max_rss_kib);
    return "{\"attempt\":" + std::to_string(attempt.number) +
           ",\"device\":" + JsonString(attempt.device) +
           ",\"pid\":" + (attempt.pid > 0 ? std::to_string(attempt.pid) : "null") +
           ",\"result\":" + JsonString(attempt.result) +
           ",\"status\":" + std::to_string(attempt.status) +
           ",\"signal\":" + (attempt.signal > 0 ? std::to_string(attempt.signal) : "null") +
           ",\"meaning\":" + JsonString(attempt.meaning) +
           ",\"detail\":" + JsonString(attempt.detail) + figures +
           ",\"record\":" + (attempt.record.empty() ? "null" : attempt.record) + "}";
}

}  // namespace

std::string LineReportFields(const LineSettings& settings, const Line& line) {
    const int status = line.ExitStatus();
    std::string stations = "[";
    std::string failed = "[";
    int succeeded = 0;
    for (const Station& station : line.Stations()) {
        const bool success = station.result == kStationSuccess;
        succeeded += success ? 1 : 0;
        if (!success) {
            failed += (failed.size() > 1 ? "," : "") + std::to_string(station.number);
        }
        std::string attempts = "[";
        for (const Attempt& attempt : station.attempts) {
            attempts += (attempts.size() > 1 ? "," : "") + AttemptJson(attempt);
        }
        stations += (stations.size() > 1 ? "," : "") + std::string("{\"station\":") +
                    std::to_string(station.number) + ",\"port\":" + JsonString(station.port) +
                    ",\"result\":" + JsonString(station.result) + ",\"status\":" +
                    (station.attempts.empty() ? "null" : std::to_string(station.status)) +
                    ",\"attempts\":" + attempts + "]}";
    }
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f",
                  std::chrono::duration<double>(line.Ended() - line.Started()).count());
    const std::string result = FirstCountedSignal() != 0 ? kStationInterrupted
                               : status == kExitSuccess  ? kStationSuccess
                                                         : kStationFailed;
    return "\"tool\":\"vantor-cli\",\"version\":" + JsonString(VANTOR_VERSION) +
           ",\"command\":\"download\",\"image\":" +
           (settings.files_list.empty() ? JsonString(settings.image) : "null") +
           ",\"files_list\":" +
           (settings.files_list.empty() ? "null" : JsonString(settings.files_list)) +
           ",\"result\":" + JsonString(result) + ",\"status\":" + std::to_string(status) +
           ",\"meaning\":" + JsonString(ExitMeaning(status)) +
           ",\"started\":" + JsonString(IsoUtc(line.Started())) +
           ",\"ended\":" + JsonString(IsoUtc(line.Ended())) + ",\"duration_s\":" + duration +
           ",\"stations_total\":" + std::to_string(line.Stations().size()) +
           ",\"stations_succeeded\":" + std::to_string(succeeded) +
           ",\"stations_not_succeeded\":" + failed + "],\"stations\":" + stations + "]";
}

}  // namespace vantor::cli
