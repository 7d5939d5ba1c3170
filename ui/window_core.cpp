#include "ui/window_core.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "link/serial_port.h"
#include "platform/registry.h"
#include "platform/serial/port_cause.h"
#include "ui/job_history.h"
#include "ui/job_words.h"
#include "ui/send_plan.h"
#include "ui/settings_store.h"

namespace vantor::ui {

namespace {

int DisplayIndex(platform::Display display) {
    return static_cast<int>(display);
}

}  // namespace

const std::array<PaletteColour, kPaletteColours> kPalette = {{
    {0, 0, 0},
    {255, 255, 255},
    {128, 0, 0},
    {0, 128, 0},
    {128, 128, 0},
    {0, 0, 128},
    {128, 0, 128},
    {0, 128, 128},
    {192, 192, 192},
    {128, 128, 128},
    {255, 0, 0},
    {0, 255, 0},
    {255, 255, 0},
    {0, 0, 255},
    {255, 0, 255},
    {0, 255, 255},
}};

const std::array<InstructionLine, 9> kInstructionLines = {{
    {kBlackIndex, "This program will update your Drive firmware"},
    {kRedIndex, "Before downloading the new firmware it is highly recommended"},
    {kRedIndex, "to back up drive parameters and to clear the EEPROM."},
    {kBlackIndex, "To update the Drive firmware, take the following steps:"},
    {kBlackIndex, "1.) Select the correct Com port."},
    {kBlackIndex, "2.) Select the correct baud rate."},
    {kBlackIndex, "3.) Click the Advance button and select the ORB file."},
    {kBlackIndex, "4.) Use the Specific Addressing option if you know the drive address"},
    {kBlackIndex, "5.) Click the Start  button."},
}};

WindowCore::WindowCore(WindowFace& face) : face_(face) {}

void WindowCore::SetWorkerLink(WindowCarrier* carrier, std::function<void()> bind_worker) {
    carrier_ = carrier;
    bind_worker_ = std::move(bind_worker);
}

void WindowCore::KeepSwitchChoices(bool port, bool baud) {
    port_from_switch_ = port;
    baud_from_switch_ = baud;
}

void WindowCore::OnInitDialog() {
    face_.ShowChoices(host_->Options.PortIndex, host_->Options.BaudChoice);
    LoadSettings();
    ShowPlannedImages();
}

bool WindowCore::LoadSettings() {
    // A damaged store is kept as it is, with its port map, until the operator has seen why:
    // the window writes nothing into it, and the ports that its map names open nothing.
    const platform::Registry registry(platform::RegistryFilePath(),
                                      platform::Registry::DamagedFile::Keep);
    if (Result<void> readable = registry.CheckReadable(); !readable) {
        store_problem_ = readable.reason();
        std::fprintf(stderr, "vantor: %s\n", readable.reason().c_str());
    }
    JobOptions& options = host_->Options;
    if (auto key = registry.OpenKey(kSettingsKey)) {
        if (auto path = registry.QueryValue(*key, "FilePath", kFilePathBufferBytes)) {
            options.FilesListPath = *path;
        }
        platform::Registry::CloseKey(*key);
    } else {
        // The first run: the key is made, holding the default files list's path.
        options.FilesListPath = DefaultFilesListPath();
        if (auto created = registry.CreateKey(kSettingsKey)) {
            registry.SetValue(*created, "FilePath", options.FilesListPath);
            platform::Registry::CloseKey(*created);
        }
    }
    auto key = registry.OpenKey(kSettingsKey);
    if (!key) {
        return store_problem_.empty();
    }
    auto com = registry.QueryValue(*key, "COM", kComBufferBytes);
    if (com && !port_from_switch_) {
        options.PortIndex = PortIndexFromCom(*com);
        face_.ShowChoices(options.PortIndex, options.BaudChoice);
    }
    auto brat = registry.QueryValue(*key, "BRAT", kBratBufferBytes);
    if (brat && !baud_from_switch_) {
        options.BaudChoice = BaudChoiceFromBrat(*brat);
        face_.ShowChoices(options.PortIndex, options.BaudChoice);
    }
    if (auto addr = registry.QueryValue(*key, "ADDR", kAddrBufferBytes)) {
        options.SpecificAddress = SpecificAddressFromAddr(*addr);
    }
    if (auto addren = registry.QueryValue(*key, "ADDREN", kAddrenBufferBytes)) {
        options.UseSpecificAddress = UseSpecificAddressFromAddren(*addren);
    }
    platform::Registry::CloseKey(*key);
    return store_problem_.empty();
}

std::string WindowCore::StoreProblemText() const {
    std::string text = store_problem_;
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') {
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    }
    return text +
           ".\n\nThe file is left as it is, and nothing is written into it while it stays so: "
           "the choices made now hold for this run only. The ports that its map names cannot "
           "be known, so Start opens no port through it until the file is mended (vantor(5) "
           "says what it may hold) or moved away for a fresh start.";
}

void WindowCore::OnPortButton(int index) {
    WriteSetting("COM", std::string(1, static_cast<char>('1' + index)));
}

void WindowCore::OnBaudButton(int index) {
    WriteSetting("BRAT", index == 0 ? "9600" : "19200");
}

void WindowCore::Start(int checked_port, int checked_baud) {
    host_->Options.PortIndex = checked_port;
    host_->Options.BaudChoice = checked_baud;
    using platform::Display;
    for (const Display display : {Display::AddressLabel, Display::FileNameLabel,
                                  Display::VersionLabel, Display::RevisionLabel}) {
        SetDisplay(display, " ");
    }
    // The header check names the single image by this display, as a files list line names its
    // image; a blank there would give the operator's message no file name.
    if (const std::string& image = host_->Options.ImagePath; !image.empty()) {
        SetDisplay(Display::FileNameLabel, FileNameOf(image));
    }
    SetProgressPos(0);
    if (JobIsRunning()) {
        return;  // the running job goes on and overwrites the labels at its next report
    }
    host_->JobRunning = 1;
    ClearCause();
    progress_.Begin();
    ShowProgressText();
    const int port_index = host_->Options.PortIndex.load();
    job_port_name_ = std::string("COM") + static_cast<char>('1' + (port_index & 0xFF));
    if (!StartWorker()) {
        host_->JobRunning = 0;  // so that Start stays usable
        SetDisplay(Display::StatusLine, kStartFailedText);
    }
}

bool WindowCore::StartWorker() {
    auto job = std::make_shared<WindowJob>();
    job->host = host_;
    job->port_name = job_port_name_;
    job->carrier = carrier_;
    job->bind_worker = bind_worker_;
    if (!StartWindowJob(job)) {
        return false;
    }
    job_ = std::move(job);
    ++workers_started_;
    return true;
}

AdvancedOptions WindowCore::AdvancedOptionsNow() const {
    const JobOptions& options = host_->Options;
    return {options.SkipSeeking, options.ResetAfterDownload, options.UseSpecificAddress,
            options.SpecificAddress};
}

void WindowCore::TakeBackAdvanced(const AdvancedOptions& back) {
    // Taken back after OK and Cancel alike; a running job sees them at its next activation.
    JobOptions& options = host_->Options;
    options.SkipSeeking = back.SkipSeeking;
    options.ResetAfterDownload = back.ResetAfterDownload;
    options.SpecificAddress = back.SpecificAddress;
    WriteSetting("ADDR", AddrText(back.SpecificAddress));
    options.UseSpecificAddress = back.UseSpecificAddress;
    WriteSetting("ADDREN", back.UseSpecificAddress != 0 ? "1" : "0");
    ShowPlannedImages();
}

bool WindowCore::JobRecorded() const {
    return job_ == nullptr || job_->finished.load(std::memory_order_acquire);
}

std::string WindowCore::StoppedText(bool finished) const {
    if (job_ == nullptr) {
        return {};
    }
    return finished ? StoppedJobText(job_->outcome, job_->host->Record) : UnstoppedJobText();
}

void WindowCore::PostProgramClosed() {
    if (const int notify = host_->NotifyWindowFd.load(); notify != 0 && carrier_ != nullptr) {
        carrier_->Post(notify, platform::kProgramClosed);
    }
}

void WindowCore::SetDisplay(platform::Display display, const std::string& text) {
    displays_[DisplayIndex(display)] = text;
    face_.ShowDisplay(display, text);
}

std::string WindowCore::DisplayText(platform::Display display) const {
    return displays_[DisplayIndex(display)];
}

void WindowCore::SetProgressRange(int low, int high) {
    // An empty range would make the bar a busy indicator; the window system shows it empty.
    progress_low_ = low;
    progress_high_ = std::max(high, low + 1);
    progress_pos_ = std::clamp(progress_pos_, progress_low_, progress_high_);
    face_.ShowProgress(progress_low_, progress_high_, progress_pos_);
    progress_.OnRange(low, high);
    progress_.OnPos(progress_pos_);
    ShowProgressText();
}

void WindowCore::SetProgressPos(int pos) {
    // The window system keeps the position inside the range; a position outside it is not
    // ignored but clamped.
    progress_pos_ = std::clamp(pos, progress_low_, progress_high_);
    face_.ShowProgress(progress_low_, progress_high_, progress_pos_);
    progress_.OnPos(progress_pos_);
    ShowProgressText();
}

void WindowCore::ShowProgressText() {
    face_.ShowProgressText(progress_.Text());
}

void WindowCore::NoteJobStatus(const std::string& status) {
    progress_.OnStatus(status);
    // The job waits while this runs, so what its port reported holds still. A port that did not
    // open leaves its reason, and no current port, until the next job opens one.
    const PortReport& report = host_->Record.Port;
    std::string cause;
    if (!report.open_error.empty() && CurrentPort() == nullptr) {
        cause = job_port_name_.size() == 4 && job_port_name_[3] >= '1' && job_port_name_[3] <= '4'
                    ? platform::UnopenablePortCause(job_port_name_, report.open_error)
                    : "no port is chosen: check one of Com1 to Com4";
    } else if (status == kNoBreaksStatusText) {
        cause = platform::NoBreaksCause(status);
    }
    if (!cause.empty() && cause != shown_cause_) {
        ShowCause(cause);
    }
}

void WindowCore::NoteJobFiles(int files) {
    progress_.SetFiles(files);
    ShowProgressText();
}

void WindowCore::NoteJobEnded(const JobRecord& record) {
    const std::string warnings = JobWarningsText(record.Download);
    if (!warnings.empty()) {
        ShowJobNote(warnings);
    }
}

void WindowCore::ShowJobNote(const std::string& text) {
    ShowCause(shown_cause_.empty() ? text : shown_cause_ + " " + text);
}

void WindowCore::ShowCause(const std::string& cause) {
    shown_cause_ = cause;
    // A window started from a terminal says it there too.
    std::fprintf(stderr, "vantor: %s\n", cause.c_str());
    face_.ShowCause(cause);
}

void WindowCore::ClearCause() {
    shown_cause_.clear();
    face_.ShowCause({});
}

void WindowCore::ShowPlannedImages() {
    // Before Start the operator sees which image Start will send: the single image, or the
    // names that the files list gives, each line's path in the tip.
    if (JobIsRunning()) {
        return;
    }
    std::string names;
    std::vector<std::string> paths;
    const PlannedImages planned =
        ReadPlannedImages(host_->Options.ImagePath, host_->Options.FilesListPath);
    for (const PlannedImage& image : planned.images) {
        names += (names.empty() ? "" : ", ") + image.entry.Name;
        paths.push_back(image.entry.Path);
    }
    SetDisplay(platform::Display::FileNameLabel, names);
    face_.ShowPlannedPaths(paths);
}

void CoreWindowLink::SetText(platform::Display display, const std::string& text) {
    carrier_.Carry([display, text](WindowCore& core) {
        core.SetDisplay(display, text);
        if (display == platform::Display::StatusLine) {
            core.NoteJobStatus(text);
        }
    });
}

std::string CoreWindowLink::GetText(platform::Display display) {
    // Written on the window's thread before the call returns, and read here only after.
    std::string text;
    carrier_.Carry([display, &text](WindowCore& core) { text = core.DisplayText(display); });
    return text;
}

void CoreWindowLink::SetProgressRange(int low, int high) {
    carrier_.Carry([low, high](WindowCore& core) { core.SetProgressRange(low, high); });
}

void CoreWindowLink::SetProgressPos(int pos) {
    carrier_.Carry([pos](WindowCore& core) { core.SetProgressPos(pos); });
}

void CoreWindowLink::MessageBox(const std::string& text, const std::string& caption,
                                platform::MessageIcon icon) {
    carrier_.ShowBox(text, caption, icon);
}

void CoreWindowLink::Post(int notify, int message) {
    carrier_.Post(notify, message);
}

void CoreWindowLink::PostQuit() {
    carrier_.PostQuit();
}

}  // namespace vantor::ui
