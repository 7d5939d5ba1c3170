// The download job: one Start request from opening the port to the end of the last image.
#pragma once

#include <atomic>
#include <string>

namespace vantor {

// The options the job reads from its front end, each at the step that needs it. The integer
// options are atomic because a front end may change them while a job runs (the Advanced
// dialog, a second Start); the paths are written only while no job runs.
struct JobOptions {
    std::atomic<int> PortIndex{-1};   // 0 to 3 for COM1 to COM4; -1 none chosen
    std::atomic<int> BaudChoice{-1};  // 1 selects 19200 baud, any other value 9600
    std::string ImagePath;            // one image; empty: the files list is downloaded
    std::string FilesListPath;
    std::atomic<int> SkipSeeking{0};
    std::atomic<int> UseSpecificAddress{0};
    std::atomic<int> SpecificAddress{0};  // 0 to 31; -1 none chosen
    std::atomic<int> ResetAfterDownload{0};
};

// The front end's side of a job: the options, the busy flag and the controlling program.
struct JobHost {
    JobOptions Options;
    // 1 while a job runs: the front end sets it before it starts the job, and only the job
    // clears it.
    std::atomic<int> JobRunning{0};
    // The controlling program told of the outcome (a file descriptor here); 0 for none.
    std::atomic<int> NotifyWindow{0};
};

// Results of the job.
inline constexpr int kJobDone = 0;
inline constexpr int kJobSeveralDrives = 1;
inline constexpr int kJobResyncFailed = 2;
inline constexpr int kJobIdentifyFailed = 3;
inline constexpr int kJobFilesListUnopenable = 4;
inline constexpr int kJobPortUnopenable = 5;
// The port's far end went away during the job (a network connection ended, an adapter was
// pulled out).
inline constexpr int kJobPortLost = 6;
// A failed image gives the negative code of DownloadImage.

// Runs one job on the calling thread (the worker). `host.JobRunning` must be set by the
// caller; the job clears it on every way out.
int DownloadJob(JobHost& host);

// The version and revision displays for an IdentWord: "%x.%x" and "%s (ID = %d)" or "ID: %d".
std::string VersionText(unsigned ident_word);
std::string RevisionText(unsigned ident_word);

}  // namespace vantor
