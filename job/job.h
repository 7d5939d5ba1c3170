// The download job: one Start request from opening the port to the end of the last image.
// Everything runs on the calling thread (the worker), on the current port, and reaches the
// front end only through the window link.
#pragma once

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "job/download_image.h"
#include "link/link_tally.h"
#include "link/serial_port.h"
#include "platform/serial/port_map.h"

namespace vantor {

// The options the job reads from its front end, each at the step that needs it. The integer
// options are atomic because a front end may change them while a job runs (the Advanced
// dialog, a second Start); the paths are written only while no job runs.
struct JobOptions {
    std::atomic<int> PortIndex{-1};  // 0 to 3 for COM1 to COM4; -1 none chosen
    // What COM1 to COM4 stand for in this job: the front end's port map, through which the
    // link opens the port that PortIndex names.
    platform::PortMap Ports;
    std::atomic<int> BaudChoice{-1};  // 1 selects 19200 baud, any other value 9600
    std::string ImagePath;            // one image; empty: the files list is downloaded
    std::string FilesListPath;
    std::atomic<int> SkipSeeking{0};
    std::atomic<int> UseSpecificAddress{0};
    std::atomic<int> SpecificAddress{0};  // 0 to 31; -1 none chosen
    std::atomic<int> ResetAfterDownload{0};
    // The CLI's own: reset the drive after a successful single image too. The window keeps
    // the design's rule, which never resets after a single image.
    std::atomic<int> ResetAfterSingleImage{0};
    // The CLI's own: the SHA-256 of every image the run set out to send, by path, as its start
    // record names them. When set, an image whose bytes differ, or whose path is not named, is
    // refused with ImageResult::kImageChanged before anything of it is sent. The window sets
    // none and sends what it finds.
    std::optional<std::map<std::string, std::string>> ExpectedImageSha256;
    // The CLI's own: 0 leaves out the success tone after each image (--no-tone, and every
    // station of a production line). The window always sounds it.
    std::atomic<int> SuccessTone{1};
    // The CLI's own: the files list's lines as the run read them at its start. When set, the job
    // downloads these lines and does not open the list again, so that a list rewritten during
    // the run cannot change, shorten or lengthen what it sends. The window sets none and reads
    // the file as the design does. Written only while no job runs.
    std::optional<std::vector<std::string>> FilesListLines;
};

// What one job did, filled by the job from its own data for the front end's run record.
struct JobRecord {
    int IdentWord = -1;  // the drive's IdentWord once identified; -1 before
    DownloadTally Download;
    LinkTally Link;
    PortReport Port;  // what the port told of itself: why it did not open, lost, no breaks
};

// The front end's side of a job: the options, the busy flag and the controlling program.
struct JobHost {
    JobOptions Options;
    // 1 while a job runs: the front end sets it before it starts the job, and only the job
    // clears it.
    std::atomic<int> JobRunning{0};
    // The design's NotifyWindow, the controlling program told of the outcome: here a file
    // descriptor inherited from it (WindowLink::Post); 0 for none.
    std::atomic<int> NotifyWindowFd{0};
    // Set by the front end (a signal handler may set it) to stop the job between operations:
    // the job then closes the port and returns JobResult::kStopped, the drive left where it is.
    std::atomic<int> StopRequested{0};
    // Filled by the job as it goes; complete once it has returned.
    JobRecord Record;
};

// Where the job ended, with the design's values.
enum class JobResult : int {
    kDone = 0,
    kSeveralDrives = 1,  // several drives answered the seek
    // The break resynchronisation failed 4 times, or the port cannot carry breaks.
    kResyncFailed = 2,
    kIdentifyFailed = 3,       // the init frame got no proper reply
    kFilesListUnopenable = 4,  // or unreadable to its end
    kPortUnopenable = 5,
    // The port's far end went away during the job (a network connection ended, an adapter was
    // pulled out).
    kPortLost = 6,
    kStopped = 10,  // StopRequested was set; the job stopped between operations
    // An image failed; JobOutcome::image says how. The design gives no number of its own here
    // but the image's (DesignCode).
    kImageFailed = -1,
};

// What a job returns: where it ended, and for a failed image the image's result.
struct JobOutcome {
    JobResult result = JobResult::kDone;
    ImageResult image = ImageResult::kDownloaded;  // only for JobResult::kImageFailed

    constexpr JobOutcome() = default;
    constexpr JobOutcome(JobResult ended) : result(ended) {}
    constexpr JobOutcome(ImageResult failed) : result(JobResult::kImageFailed), image(failed) {}

    friend constexpr bool operator==(const JobOutcome&, const JobOutcome&) = default;
};

// The design's number for the job's result, the one place that gives it: the JobResult's
// value, or for a failed image DownloadImage's negative code. Exit statuses, status reports
// and the records' job_result are made from it.
constexpr int DesignCode(JobOutcome outcome) {
    return outcome.result == JobResult::kImageFailed ? DesignCode(outcome.image)
                                                     : static_cast<int>(outcome.result);
}

// Runs one job on the calling thread (the worker): opens the port, activates the drive (seek,
// specific address, or none when SkipSeeking), resynchronises (retrying with re-activation),
// identifies the drive and shows its version and revision, then downloads the single image or
// every image of the files list (and resets the drive after a list when asked). Returns where
// the job ended, with a failed image's result. `host.JobRunning` must be set by the
// caller; the job closes the port and clears it on every way out. After a single image it
// posts kDownloadFinished to NotifyWindowFd and asks the front end to quit. It fills
// `host.Record` as it goes and stops between operations (kStopped) once StopRequested is set.
JobOutcome DownloadJob(JobHost& host);

// The job's stages up to the identification alone, for a front end that only asks who is on
// the line: opens the port, activates, resynchronises, identifies and shows the
// identification; then sends the reset frame, so that the drive leaves its boot loader, unless
// `stay_in_boot_loader`; closes the port. No image is read. Returns kDone or the result of the
// stage that failed, as DownloadJob does; the IdentWord is in `host.Record`.
JobOutcome IdentifyJob(JobHost& host, bool stay_in_boot_loader);

// The version and revision displays for an IdentWord: "%x.%x" and "%s (ID = %d)" or "ID: %d".
std::string VersionText(unsigned ident_word);
std::string RevisionText(unsigned ident_word);
// The model name of a hardware revision ID ("KDX2" for 2); nullptr for an ID without one.
const char* ModelName(int revision_id);

}  // namespace vantor
