#include "cli/console/exit_status.h"

#include <algorithm>

#include "job/job.h"

namespace vantor::cli {

namespace {

constexpr int kHighestExitStatus = 255;

}  // namespace

int ExitStatusForJob(int job_result) {
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
        case kJobSeveralDrives:
            return "several drives answered";
        case kJobResyncFailed:
            return "resynchronisation failed";
        case kJobIdentifyFailed:
            return "identification failed";
        case kJobFilesListUnopenable:
            return "the files list cannot be opened";
        case kJobPortUnopenable:
            return "the port cannot be opened";
        case kJobPortLost:
            return "the port was lost during the job";
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
