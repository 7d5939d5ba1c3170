// What the window says of a job beside the design's status texts: where a stopped job left the
// drive, and what a job met that its last status text does not tell. Plain C++, so that the
// words are tested without a display and the window's other faces can share them.
#pragma once

#include <string>

#include "job/job.h"

namespace vantor::ui {

// How long the window waits for a job it asked to stop, and at its end for the job's record.
inline constexpr int kStopBoundSeconds = 10;

// The question asked when the operator closes the window during a download.
inline constexpr const char* kStopQuestionText =
    "A download is running. Stop the download and close the window?";
inline constexpr const char* kStopQuestionDetail =
    "Stopping leaves the drive in its boot loader with part of the firmware. To resume, start "
    "the program again, tick \"Skip drives seeking\" in Advanced and press Start.";
inline constexpr const char* kKeepDownloadingText = "&Keep downloading";
inline constexpr const char* kStopAndCloseText = "&Stop and close";

// Where the job left the drive once it ended after the operator asked it to stop: `outcome`
// and `record` are the job's. Empty when the job came to an end of its own first.
std::string StoppedJobText(JobOutcome outcome, const JobRecord& record);
// The same for a job that had not stopped when the window's wait ran out.
std::string UnstoppedJobText();

// What the exchanges met that the status line does not say (packets without a response,
// protected memory, responses not understood); empty when there was nothing.
std::string JobWarningsText(const DownloadTally& tally);

// The last component of a path.
std::string FileNameOf(const std::string& path);

}  // namespace vantor::ui
