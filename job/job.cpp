#include "job/job.h"

#include <cstdio>
#include <iterator>
#include <optional>
#include <vector>

#include "image/files_list.h"
#include "job/download_image.h"
#include "link/boot_link.h"
#include "link/drive_activation.h"
#include "link/serial_port.h"
#include "platform/clock.h"
#include "platform/window_link.h"

namespace vantor {

using platform::Display;
using platform::ReportStatus;

namespace {

constexpr int kResyncRetries = 3;
constexpr int kResyncRetryGapMs = 100;

const char* const kModelNames[] = {"KDX1v1", "KDX1v2", "KDX2"};

// Every way out of a job after the port was opened: close the port, clear the busy flag.
JobOutcome EndJob(JobHost& host, JobOutcome result) {
    ClosePort(&host.Record.Port);
    host.JobRunning = 0;
    return result;
}

// A port whose far end went away: whatever the link's waits made of it, the job ends with the
// port's own text, as soon as the link returns.
JobOutcome EndWithLostPort(JobHost& host) {
    const char* lost = CurrentPort() != nullptr && CurrentPort()->device() != nullptr
                           ? CurrentPort()->device()->Condition().lost
                           : nullptr;
    ClosePort(&host.Record.Port);
    ReportStatus(lost != nullptr ? lost : "the port was lost", 0);
    host.JobRunning = 0;
    return JobResult::kPortLost;
}

// A failed image: the port is closed and the busy flag cleared before the closing text.
JobOutcome EndWithFailedImage(JobHost& host, ImageResult failed) {
    if (PortLost()) {
        return EndWithLostPort(host);
    }
    ClosePort(&host.Record.Port);
    host.JobRunning = 0;
    ReportStatus("ERROR: Download failed.", 0);
    return failed;
}

// A files list that cannot be opened (or read to its end): the text comes after the port is
// closed and before the busy flag is cleared.
JobOutcome EndWithUnreadableList(JobHost& host) {
    ClosePort(&host.Record.Port);
    ReportStatus("Failed to open files list", 0);
    host.JobRunning = 0;
    return JobResult::kFilesListUnopenable;
}

// Before a retry of the resynchronisation. Its outcome is not looked at: the resynchronisation
// that follows tells whether a drive is there in boot-loader mode.
void Reactivate(const JobOptions& options) {
    if (options.UseSpecificAddress) {
        ActivateAtAddress(options.SpecificAddress);
    } else {
        ActivateBySeeking();
    }
}

// The first activation; false when several drives answered the seek.
bool ActivateFirst(const JobOptions& options) {
    if (options.UseSpecificAddress) {
        // A silent address or a drive kept in command mode shows in the resynchronisation.
        ActivateAtAddress(options.SpecificAddress);
        return true;
    }
    if (options.SkipSeeking) {
        return true;  // the drive is expected in boot-loader mode already
    }
    return ActivateBySeeking() != SeekActivation::kFoundSeveral;
}

bool StopRequested(const JobHost& host) {
    return host.StopRequested.load() != 0;
}

// Downloads one image with the job's record, stop flag and, when the front end set them, the
// bytes it expects the image to hold.
ImageResult DownloadOneImage(JobHost& host, const std::string& path, std::uint16_t ident_word) {
    DownloadImageOptions image_options;
    image_options.tally = &host.Record.Download;
    image_options.stop = &host.StopRequested;
    image_options.success_tone = host.Options.SuccessTone.load() != 0;
    if (const auto& expected = host.Options.ExpectedImageSha256) {
        const auto named = expected->find(path);
        // A path the run did not name has no digest that any file can have.
        image_options.expected_sha256 = named != expected->end() ? named->second : "";
    }
    return DownloadImage(path, ident_word, image_options);
}

// JobResult::kDone, JobResult::kResyncFailed (also when the port was lost) or JobResult::kStopped.
JobOutcome Resynchronise(JobHost& host) {
    int retries = 0;
    while (Resync() != ResyncResult::kDone) {
        if (retries == kResyncRetries || PortLost()) {
            return JobResult::kResyncFailed;
        }
        ++retries;
        platform::Sleep(kResyncRetryGapMs);
        if (StopRequested(host)) {
            return JobResult::kStopped;
        }
        Reactivate(host.Options);
    }
    return JobResult::kDone;
}

void ShowIdentification(unsigned ident_word) {
    platform::Window().SetText(Display::VersionLabel, VersionText(ident_word));
    platform::Window().SetText(Display::RevisionLabel, RevisionText(ident_word));
}

JobOutcome DownloadFilesList(JobHost& host, const std::string& files_list_path,
                             std::uint16_t ident_word) {
    // Lines the front end took at the run's start stand for the file, which is then not opened.
    const std::optional<std::vector<std::string>>& taken = host.Options.FilesListLines;
    FilesListFile list;
    if (!taken && !list.OpenForJob(files_list_path)) {
        return EndWithUnreadableList(host);
    }
    std::size_t lines = 0;
    std::string line;
    while (taken ? lines < taken->size() : list.ReadLine(line)) {
        if (taken) {
            line = (*taken)[lines];
        }
        if (StopRequested(host)) {
            list.Close();
            return EndJob(host, JobResult::kStopped);
        }
        ++lines;
        const FilesListEntry entry = SplitJobLine(line);
        platform::Window().SetText(Display::FileNameLabel, entry.Name);
        const ImageResult image = DownloadOneImage(host, entry.Path, ident_word);
        if (image == ImageResult::kStopped) {
            list.Close();
            return EndJob(host, JobResult::kStopped);
        }
        if (image != ImageResult::kDownloaded) {
            list.Close();
            return EndWithFailedImage(host, image);
        }
    }
    // A read that failed part way is not the end of the list: report the list as unreadable
    // rather than finish, or reset the drive, as if every line had been downloaded.
    if (list.ReadFailed()) {
        list.Close();
        return EndWithUnreadableList(host);
    }
    list.Close();
    if (lines == 0) {
        ReportStatus("File not found,press Advanced button to add files.", 0);
    }
    if (host.Options.ResetAfterDownload) {
        ResetDrive();
    }
    return EndJob(host, JobResult::kDone);
}

}  // namespace

std::string VersionText(unsigned ident_word) {
    char text[32];
    std::snprintf(text, sizeof text, "%x.%x", (ident_word >> 6) & 0x3F, ident_word & 0x3F);
    return text;
}

const char* ModelName(int revision_id) {
    constexpr int models = static_cast<int>(std::size(kModelNames));
    return revision_id >= 0 && revision_id < models ? kModelNames[revision_id] : nullptr;
}

std::string RevisionText(unsigned ident_word) {
    const int id = static_cast<int>((ident_word >> 12) & 0xF);
    char text[48];
    if (const char* model = ModelName(id)) {
        std::snprintf(text, sizeof text, "%s (ID = %d)", model, id);
    } else {
        std::snprintf(text, sizeof text, "ID: %d", id);
    }
    return text;
}

namespace {

// Steps 1 to 6 of a job: opens the port and brings the drive to its identification, which it
// shows. JobResult::kDone with the port open and `ident_word` set; otherwise the job's result, the
// port closed and JobRunning cleared.
JobOutcome OpenAndIdentify(JobHost& host, std::uint16_t& ident_word) {
    JobOptions& options = host.Options;
    const char port_char = static_cast<char>('1' + (options.PortIndex & 0xFF));
    const std::uint32_t baud_rate = options.BaudChoice == 1 ? 19200 : 9600;

    if (OpenDrivePort(baud_rate, port_char, options.Ports, &host.Record.Port) !=
        PortResult::kDone) {
        host.JobRunning = 0;
        return JobResult::kPortUnopenable;
    }
    PortLineErrors();  // drops what the line showed before the job
    if (StopRequested(host)) {
        return EndJob(host, JobResult::kStopped);
    }
    // Without breaks the boot loader cannot be resynchronised: the drive is left in its command
    // mode rather than switched into a boot loader that nothing can then reach.
    if (PortCarriesNoBreaks()) {
        ReportStatus(kNoBreaksStatusText, 0);
        return EndJob(host, JobResult::kResyncFailed);
    }
    if (!ActivateFirst(options)) {
        return EndJob(host, JobResult::kSeveralDrives);
    }
    if (StopRequested(host)) {
        return EndJob(host, JobResult::kStopped);
    }
    if (PortLost()) {
        return EndWithLostPort(host);
    }
    if (const JobOutcome resync = Resynchronise(host); resync != JobResult::kDone) {
        return PortLost() ? EndWithLostPort(host) : EndJob(host, resync);
    }
    const IdentifyResult ident = Identify();
    if (!ident.Identified()) {
        return PortLost() ? EndWithLostPort(host) : EndJob(host, JobResult::kIdentifyFailed);
    }
    ident_word = ident.IdentWord();
    host.Record.IdentWord = ident_word;
    ShowIdentification(ident_word);
    return JobResult::kDone;
}

JobOutcome RunStages(JobHost& host) {
    const JobOptions& options = host.Options;
    const std::string image_path = options.ImagePath;
    const std::string files_list_path = options.FilesListPath;
    std::uint16_t ident_word = 0;
    if (const JobOutcome result = OpenAndIdentify(host, ident_word); result != JobResult::kDone) {
        return result;
    }
    if (image_path.empty()) {
        return DownloadFilesList(host, files_list_path, ident_word);
    }
    const ImageResult image = DownloadOneImage(host, image_path, ident_word);
    if (image == ImageResult::kStopped) {
        return EndJob(host, JobResult::kStopped);
    }
    if (image != ImageResult::kDownloaded) {
        return EndWithFailedImage(host, image);
    }
    if (options.ResetAfterSingleImage) {
        ResetDrive();
    }
    host.JobRunning = 0;
    ClosePort(&host.Record.Port);
    if (const int notify_fd = host.NotifyWindowFd; notify_fd != 0) {
        platform::Window().Post(notify_fd, platform::kDownloadFinished);
    }
    platform::Window().PostQuit();
    return JobResult::kDone;
}

JobOutcome IdentifyStages(JobHost& host, bool stay_in_boot_loader) {
    std::uint16_t ident_word = 0;
    if (const JobOutcome result = OpenAndIdentify(host, ident_word); result != JobResult::kDone) {
        return result;
    }
    if (!stay_in_boot_loader) {
        ResetDrive();  // the drive leaves its boot loader and starts its firmware
    }
    return EndJob(host, JobResult::kDone);
}

}  // namespace

JobOutcome DownloadJob(JobHost& host) {
    host.Record = JobRecord{};
    ResetLinkTally();
    const JobOutcome result = RunStages(host);
    host.Record.Link = CurrentLinkTally();
    return result;
}

JobOutcome IdentifyJob(JobHost& host, bool stay_in_boot_loader) {
    host.Record = JobRecord{};
    ResetLinkTally();
    const JobOutcome result = IdentifyStages(host, stay_in_boot_loader);
    host.Record.Link = CurrentLinkTally();
    return result;
}

}  // namespace vantor
