#include "records/window_record.h"

#include <cstdio>

#include "platform/serial/port_map.h"
#include "records/exit_status.h"
#include "records/history_store.h"
#include "records/log_file.h"
#include "records/run_record.h"

namespace vantor::records {

std::string WindowJobHistory() {
    return ChosenHistory("");
}

void RecordWindowJob(const JobHost& host, JobOutcome outcome,
                     std::chrono::system_clock::time_point started, const std::string& port_name,
                     const std::string& place) {
    RunSummary summary;
    summary.started = started;
    summary.ended = std::chrono::system_clock::now();
    summary.record = host.Record;
    summary.job_result = DesignCode(outcome);
    summary.exit_status = ExitStatusForJob(outcome);
    summary.meaning = ExitMeaning(summary.exit_status);
    summary.result = outcome.result == JobResult::kStopped ? kResultInterrupted
                     : summary.exit_status == kExitSuccess ? kResultSuccess
                                                           : kResultFailed;
    RunStart& start = summary.start;
    start.command = "download";
    start.host = HostName();
    start.port = port_name;
    start.device = platform::ResolvePortName(port_name).ValueOr(std::nullopt).value_or("");
    start.baud = host.Options.BaudChoice.load() == 1 ? 19200 : 9600;
    start.files_list = host.Options.FilesListPath;
    // The window reads each image as it sends it: its record is the images as sent.
    for (const SentImage& sent : host.Record.Download.Images) {
        start.images.push_back(
            {"", sent.Path, FileDigest{sent.SizeBytes, sent.Sha256}, sent.PacketsDeclared});
    }
    if (start.images.empty() && !host.Options.ImagePath.empty()) {
        start.images.push_back({"", host.Options.ImagePath, std::nullopt, std::nullopt});
    }
    summary.images_total = static_cast<int>(start.images.size());
    HistoryEntry entry = EntryFromSummary(summary);
    entry.tool = "vantor";
    if (const auto tool = entry.record.find("\"tool\":\"vantor-cli\""); tool != std::string::npos) {
        entry.record.replace(tool, 19, "\"tool\":\"vantor\"");
    }
    const RecordOutcome recorded = RecordEntry(entry, place);
    if (recorded.queued) {
        std::fprintf(stderr,
                     "vantor: the history %s cannot be reached (%s): the record waits in %s\n",
                     recorded.place.c_str(), recorded.error.c_str(), DefaultHistoryPath().c_str());
    } else if (!recorded.written) {
        std::fprintf(stderr, "vantor: the job was not recorded in the history %s: %s\n",
                     recorded.place.c_str(), recorded.error.c_str());
    }
}

}  // namespace vantor::records
