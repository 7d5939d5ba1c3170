// The window's jobs from the worker's side: the worker that checks what Start will send, runs
// the job and hands its record to the history, and the count of jobs whose record is still
// being written, which the program waits for (bounded) before it ends.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "job/job.h"

namespace vantor::ui {

class WindowCarrier;

// One Start of the window, shared by the window and the worker that runs it.
struct WindowJob {
    std::shared_ptr<JobHost> host;
    std::string port_name;  // as the job names it: "COM1"
    // How the worker reaches the window that started it, and what ties the worker's thread to
    // that window (called first on the worker's thread; may be empty).
    WindowCarrier* carrier = nullptr;
    std::function<void()> bind_worker;
    // Set by the worker, last of all, once the job has ended and its record has been handed to
    // the history; `outcome` and `host->Record` may be read once it is.
    std::atomic<bool> finished{false};
    JobOutcome outcome;
};

// Starts the worker of `job`. False when no thread could be made: then nothing runs and nothing
// is counted.
bool StartWindowJob(const std::shared_ptr<WindowJob>& job);

// Waits up to `bound` for every job that the process started to finish; true when none is
// left. A job abandoned past the bound goes with the process.
bool WaitForWindowJobs(std::chrono::milliseconds bound);

}  // namespace vantor::ui
