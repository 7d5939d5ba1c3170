// The run record of vantor-cli: what a run was given (the start event) and what it did (the
// closing summary), each as the fields of one JSON object, and the report file that keeps the
// summary. Identity and result are fields a line controller reads, not label text.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "image/sha256.h"
#include "job/job.h"
#include "platform/result.h"
#include "records/json_writer.h"
#include "records/unit_fields.h"

namespace vantor::records {

// One image the run will send: the single IMAGE, or one line of the files list.
struct ImageEntry {
    std::string label;  // the files list's label; empty for a single IMAGE
    std::string path;
    std::optional<FileDigest> digest;  // nothing when the file cannot be read
    std::optional<int> declared_packets;
};

struct RunStart {
    std::string command;      // "download" or "identify"
    std::string host;         // the machine's name
    std::string port;         // as given
    std::string port_source;  // "option", "auto", "store" (the window's last choice), "default"
    std::string baud_source;  // "option", "store" or "default"
    std::string device;       // the device address it resolves to; empty when none
    std::string usb_serial;   // the USB serial number of the device's adapter; empty when none
    unsigned baud = 9600;
    std::string files_list;  // empty for a single IMAGE
    std::optional<FileDigest> files_list_digest;
    std::vector<ImageEntry> images;
    UnitFields unit;  // the unit, operator, order and station label given; each may be empty
};

// Result words of the summary.
inline constexpr const char* kResultSuccess = "success";
inline constexpr const char* kResultFailed = "failed";
inline constexpr const char* kResultInterrupted = "interrupted";
// The history's word for a failed run that was refused before its port was opened.
inline constexpr const char* kResultRefused = "refused";

struct RunSummary {
    std::string result;  // kResultSuccess, kResultFailed or kResultInterrupted
    int exit_status = 0;
    int job_result = 0;
    std::string meaning;
    std::string detail;
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    JobRecord record;
    int images_total = 0;
    bool nothing_answered = false;
    bool strict = false;
    // The run stopped before its port was opened, on what it was given (an image or a files
    // list that cannot be sent): the drive was never touched. Its result stays kResultFailed
    // for the readers of the record; the history keeps it as refused.
    bool refused = false;
    RunStart start;  // what the run was given, so that the summary stands alone as a record
};

// The start event's fields, the tool's version first. For a files list it gives the number of
// lines; each line has a start-line event of its own.
JsonObject StartFields(const RunStart& start);
// The fields of the start-line event for line `index` (from 0) of the files list.
JsonObject StartLineFields(const RunStart& start, std::size_t index);
// The summary's fields: the outcome and the counts, then what the run was given (tool, host,
// port, device, baud) and every image with its size and SHA-256 at the start and, where the job
// sent it, as sent.
JsonObject SummaryFields(const RunSummary& summary);
// The images of a run as the summary and the line's report list them; `sent` as the download's
// tally has them (none for the line's own list).
JsonArray ImagesFields(const RunStart& start, const std::vector<SentImage>& sent);
// `when` as ISO 8601 UTC with milliseconds: 2026-12-07T10:12:55.123Z.
std::string IsoUtc(std::chrono::system_clock::time_point when);
// What is wrong with `path` as the place of a report, found before anything is done: its folder
// must exist, be a folder and take a new file (one is created and removed beside the target),
// and the path must not name anything but a regular file. Success when it will do.
Result<void> ReportPlaceProblem(const std::string& path);
// Writes `json` and a line feed to `path` through a temporary file beside it and a rename,
// so that a reader finds the old report or the whole new one. Success when written. When it
// cannot be, the report of an earlier run at `path` is removed (emptied when it cannot be
// removed), so that nothing is left there that claims an outcome this run did not have; the
// result then says why and what became of the old report.
Result<void> WriteReportOrWithdraw(const std::string& path, const std::string& json);

}  // namespace vantor::records
