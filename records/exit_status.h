// The exit statuses of vantor-cli, every one below 256 so that a shell sees it whole.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "job/job.h"

namespace vantor::records {

inline constexpr int kExitSuccess = 0;
// 1 to 6 are the job's own results (several drives, resynchronisation, identification, files
// list, port, port lost); a failed image gives 100 plus the size of its DownloadImage code (110
// when the image file changed during the download).
inline constexpr int kExitImageBase = 100;
inline constexpr int kExitUsage = 64;
// With --strict, what the design lets pass fails with a status of its own.
inline constexpr int kExitStrictProtectedMemory = 20;  // a protected-memory warning
inline constexpr int kExitStrictResponse = 21;         // a missing or unrecognised response
// A files list with no line: nothing would be sent. Refused with or without --strict, before the
// port opens; it keeps the number that --strict first gave it.
inline constexpr int kExitEmptyList = 22;
inline constexpr int kExitStrictNoPacket = 23;  // an image that sends no packet
// A production line (several --port) where at least one station did not succeed.
inline constexpr int kExitSomeStationsFailed = 30;
// --report was given and the report could not be written at the end.
inline constexpr int kExitReportUnwritten = 31;
// A run that came to success but whose output could not be written: a write to standard output
// failed (a full disk; a reader that went away is no failure), or a post to --notify-fd failed.
inline constexpr int kExitOutputUnwritten = 32;
// A run stopped by a signal ends with 128 plus the signal's number: 130 for Ctrl-C (SIGINT),
// 143 for SIGTERM.
inline constexpr int kExitSignalBase = 128;

// One exit status of download as its help, README.md and docs/cli.md list it; a test holds the
// three to this table.
struct ExitStatusLine {
    int status;              // -1 for a family of statuses (100+|c|)
    int also;                // a second status of the same meaning (143), else -1
    std::string_view label;  // "0", "100+|c|", "130, 143"
    std::string_view lead;   // before the words in the help: "--strict: "
    std::string_view words;  // the meaning; the result line's words for a single status
    std::string_view more;   // after the words in the help
};
std::span<const ExitStatusLine> ExitStatusLines();
// The help's list, one status a line: "  0        success\n...".
std::string ExitStatusHelp();
// The list in a paragraph, for vantor-cli's own help: "  0 success; 1 several ...";
// identify's help names `only` the statuses it can end with.
std::string ExitStatusSummary(std::span<const int> only = {});

// The exit status for what the download job came to, made from the design's number for it
// (DesignCode): the job's own result, or 100 plus the size of a failed image's code.
int ExitStatusForJob(JobOutcome outcome);
// What an exit status of the download means, in a few words. Where causes share a status
// (106: a hardware revision mismatch, or a file cut short), both are named.
std::string ExitMeaning(int exit_status);

// What a run is known to have come to, beyond its exit status.
struct RunFacts {
    JobOutcome job;
    int exit_status = kExitSuccess;
    const JobRecord* record = nullptr;  // the job's record; nullptr when the job did not run
    // The status text or message box that explains the failure: the revision an image is meant
    // for is read from it.
    std::string failure_text;
};

// What a run came to, in words: the exit status's meaning made exact by the facts. A failed
// image is told by its own cause (not by the code it shares with another), a revision mismatch
// names the image's revision and the drive's, several drives name the addresses that answered
// and how to pick one, and a failed resynchronisation names the activation failure before it
// that left the drive unreachable.
std::string OutcomeMeaning(const RunFacts& facts);

// The warnings that a download let pass, as they follow "success" on a result line:
// ", 8 protected-memory warnings, 1 missing response"; empty when there were none.
std::string WarningWords(int protected_memory, int missing, int unrecognised, int invalid_command);
std::string WarningWords(const DownloadTally& tally);

// The last line on stderr of a run that failed with `exit_status`: where its usual causes and
// what to try are written down.
std::string WhatToTryLine(int exit_status);

}  // namespace vantor::records
