#include "cli/console/exit_status.h"

#include <algorithm>

namespace vantor::cli {

namespace {

constexpr int kHighestExitStatus = 255;

}  // namespace

int ExitStatusForJob(JobOutcome outcome) {
    const int job_result = DesignCode(outcome);
    if (job_result >= 0) {
        return job_result;
    }
    // The codes of DownloadImage are small; the clamp only guards the shell's 8 bits.
    return std::min(kExitImageBase - job_result, kHighestExitStatus);
}

std::string ExitMeaning(int exit_status) {
    switch (exit_status) {
        case kExitSuccess:
            return "success";
        case DesignCode(JobResult::kSeveralDrives):
            return "several drives answered";
        case DesignCode(JobResult::kResyncFailed):
            return "resynchronisation failed";
        case DesignCode(JobResult::kIdentifyFailed):
            return "identification failed";
        case DesignCode(JobResult::kFilesListUnopenable):
            return "the files list cannot be opened";
        case DesignCode(JobResult::kPortUnopenable):
            return "the port cannot be opened";
        case DesignCode(JobResult::kPortLost):
            return "the port was lost during the job";
        case kExitImageBase - DesignCode(ImageResult::kImageChanged):
            return "the image file changed during the download";
        case kExitUsage:
            return "usage error";
        case kExitStrictProtectedMemory:
            return "strict: a packet met protected memory";
        case kExitStrictResponse:
            return "strict: a response was missing or unrecognised";
        case kExitStrictEmptyList:
            return "strict: the files list has no line";
        case kExitStrictNoPacket:
            return "strict: an image sends no packet";
        case kExitSomeStationsFailed:
            return "some stations failed";
        case kExitReportUnwritten:
            return "the report could not be written";
        case kExitOutputUnwritten:
            return "the run's output could not be written";
        case kExitSignalBase + 2:
        case kExitSignalBase + 15:
            return "interrupted";
        default:
            break;
    }
    if (exit_status > kExitImageBase) {
        return "the image failed with code -" + std::to_string(exit_status - kExitImageBase);
    }
    return "unknown";
}

}  // namespace vantor::cli
