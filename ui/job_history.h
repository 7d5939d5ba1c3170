// The window's jobs from the worker's side: the worker that checks what Start will send, runs
// the job and hands its record to the history, and the count of jobs whose record is still
// being written, which the program waits for (bounded) before it ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "job/job.h"

namespace vantor::ui {

// One Start of the window, shared by the window and the worker that runs it.
struct WindowJob {
    std::shared_ptr<JobHost> host;
    std::string port_name;  // as the job names it: "COM1"
    // Set by the worker, last of all, once the job has ended and its record has been handed to
    // the history; `outcome` and `host->Record` may be read once it is.
    std::atomic<bool> finished{false};
    JobOutcome outcome;
};

// Starts the worker of `job` for the window attached as `attachment`. False when no thread
// could be made: then nothing runs and nothing is counted.
bool StartWindowJob(const std::shared_ptr<WindowJob>& job, std::uint64_t attachment);

// Waits up to `bound` for every job that the process started to finish; true when none is
// left. A job abandoned past the bound goes with the process.
bool WaitForWindowJobs(std::chrono::milliseconds bound);

}  // namespace vantor::ui
