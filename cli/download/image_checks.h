// Every image a download will send is read whole before the port is opened, as the download will
// read it, so that a wrong path or a damaged file fails before the drive is switched into its
// boot loader for nothing.
#pragma once

#include <string>
#include <utility>

#include "cli/console/console_output.h"
#include "cli/download/download_settings.h"
#include "job/job.h"
#include "records/exit_status.h"
#include "records/files_list_taken.h"
#include "records/run_record.h"

namespace vantor::cli {

// What the checks before the port, or the job, came to.
struct Outcome {
    Outcome() = default;
    Outcome(JobOutcome job_outcome, int status, std::string cause = {}, std::string words = {})
        : job(job_outcome),
          exit_status(status),
          detail(std::move(cause)),
          meaning(std::move(words)) {}

    JobOutcome job;
    int exit_status = records::kExitSuccess;
    std::string detail;   // the cause when the last status text does not say it
    std::string meaning;  // what the status means here, when the check knows better than its code
};

// The name of the file at `path`, without its folders: the label an image is shown by.
std::string BaseName(const std::string& path);

// Has the job send only what the run's start record names: the lines of the files list as the
// run took it (`list`, none for a single image), and each image's SHA-256 by its path. An image
// the record could not read is expected to have none.
void ExpectStartedImages(const records::RunStart& start, const records::TakenFilesList& list,
                         JobOptions& options);

// Checks the files list as the run took it (`list`: it must have lines, each a name, four
// blanks and a path) and every image of the run (the IMAGE, or each line's), and under --strict
// an image without packets; an image whose bytes are not those `options` expects fails as the
// job would fail it. What the checks show reaches `output` only when one fails; the first
// fault's outcome, or success.
Outcome CheckImagesBeforeThePort(const DownloadSettings& settings,
                                 const records::TakenFilesList& list, const JobOptions& options,
                                 ConsoleOutput& output);

}  // namespace vantor::cli
