// The worker of a window's job and its record in the history. Every job of the window is
// recorded, whatever its end; the program waits, within a bound, for the records of its jobs.
#include "ui/job_history.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/window_link.h"
#include "records/window_record.h"
#include "ui/send_plan.h"
#include "ui/window_core.h"

namespace vantor::ui {

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
int g_unfinished = 0;  // guarded by g_mutex

void CountStarted() {
    std::lock_guard lock(g_mutex);
    ++g_unfinished;
}

void CountFinished(WindowJob& job) {
    {
        std::lock_guard lock(g_mutex);
        job.finished.store(true, std::memory_order_release);
        --g_unfinished;
    }
    g_changed.notify_all();
}

// The checks before the port: every image that Start would send is read first. On a fault the
// held-back texts of the check are shown, the busy flag is cleared before the closing text (as
// the job clears it), the reason goes under the status text, and the job's outcome for the
// fault comes back; nothing of the drive is touched.
std::optional<JobOutcome> CheckBeforeThePort(JobHost& host, WindowCarrier& carrier) {
    SendPlan plan;
    CheckSendPlan(host.Options.ImagePath, host.Options.FilesListPath, plan);
    const auto files = static_cast<int>(plan.images.size());
    if (!plan.fault) {
        carrier.Carry([files](WindowCore& core) { core.NoteJobFiles(files); });
        return std::nullopt;
    }
    plan.held.ShowOn(platform::Window());
    host.JobRunning = 0;
    carrier.Carry([cause = plan.cause](WindowCore& core) { core.ShowJobNote(cause); });
    return plan.fault;
}

// The worker's body. It holds the job's state and the process-wide link, never the window: it
// may outlive the window, whose end releases it from every wait on the window.
void RunAndRecord(const std::shared_ptr<WindowJob>& job, const std::string& history) {
    if (job->bind_worker) {
        job->bind_worker();
    }
    WindowCarrier& carrier = *job->carrier;
    const auto started = std::chrono::system_clock::now();
    JobHost& host = *job->host;
    host.Record = JobRecord{};
    const std::optional<JobOutcome> fault = CheckBeforeThePort(host, carrier);
    if (fault) {
        job->outcome = *fault;
    } else if (host.StopRequested.load() != 0) {
        // Asked to stop while the images were checked: the port is never opened.
        host.JobRunning = 0;
        job->outcome = JobResult::kStopped;
    } else {
        job->outcome = DownloadJob(host);
    }
    // The job has ended and told the window; its record goes to the history after.
    records::RecordWindowJob(host, job->outcome, started, job->port_name, history);
    const JobRecord record = host.Record;
    carrier.Carry([record](WindowCore& core) { core.NoteJobEnded(record); });
    CountFinished(*job);
}

}  // namespace

bool StartWindowJob(const std::shared_ptr<WindowJob>& job) {
    if (job->carrier == nullptr) {
        return false;  // no window to report to
    }
    // Read when the job starts, so that a later change of the environment does not split a
    // job's record from the others of the run.
    const std::string history = records::WindowJobHistory();
    CountStarted();
    try {
        std::thread([job, history] { RunAndRecord(job, history); }).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(g_mutex);
        --g_unfinished;
        return false;
    }
    return true;
}

bool WaitForWindowJobs(std::chrono::milliseconds bound) {
    std::unique_lock lock(g_mutex);
    return g_changed.wait_for(lock, bound, [] { return g_unfinished == 0; });
}

}  // namespace vantor::ui
