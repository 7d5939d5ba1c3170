// The operator's window without its toolkit: its two states and what each command does in each,
// the exchange with the settings store, what each display shows, the rules that keep a running
// download safe from a stray key, and the worker's way back into the window. Each face of the
// window (Qt on Linux, Win32 dialogs on Windows) draws the controls and forwards the operator's
// commands here; everything here runs on the window's thread unless it says otherwise.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "job/job.h"
#include "platform/window_link.h"
#include "ui/job_progress.h"

namespace vantor::ui {

struct WindowJob;
class WindowCore;

// The palette of the coloured list, and the colours of the instruction lines.
struct PaletteColour {
    unsigned char red, green, blue;
};
inline constexpr int kPaletteColours = 16;
extern const std::array<PaletteColour, kPaletteColours> kPalette;
inline constexpr int kBlackIndex = 0;
inline constexpr int kWhiteIndex = 1;
inline constexpr int kRedIndex = 10;

// One line of the operating instructions; each stands on a white background.
struct InstructionLine {
    int text_colour;
    const char* text;
};
extern const std::array<InstructionLine, 9> kInstructionLines;

inline constexpr const char* kAboutMenuText = "&About WinVantor...";
inline constexpr const char* kAboutText = "WinVantor Version 2.0.7";
inline constexpr const char* kAboutCaption = "About WinVantor";
inline constexpr const char* kStartFailedText = "Error : Failed to start the download";

// What a face draws when the core tells it to; called on the window's thread.
class WindowFace {
  public:
    virtual ~WindowFace() = default;
    // The port and speed buttons: the one at each index is checked, the others not (-1, or an
    // index without a button, leaves none checked).
    virtual void ShowChoices(int port_index, int baud_choice) = 0;
    virtual void ShowDisplay(platform::Display display, const std::string& text) = 0;
    // The bar's range (never empty) and its position inside it, and what the bar says beside
    // it (empty: nothing).
    virtual void ShowProgress(int low, int high, int pos) = 0;
    virtual void ShowProgressText(const std::string& text) = 0;
    // Why the last job did what its status text says, under the instructions; empty: none.
    virtual void ShowCause(const std::string& cause) = 0;
    // The paths of the images that Start will send, for the file name display's tip.
    virtual void ShowPlannedPaths(const std::vector<std::string>& paths) = 0;
};

// How a face carries a worker's call into the window's thread. One carrier serves the process
// and outlives every window, so that a worker abandoned at the program's end can still call it.
class WindowCarrier {
  public:
    virtual ~WindowCarrier() = default;
    // Runs `work` on the window's thread with the window's core and returns once it has run;
    // false, without running it, when the caller's window has gone.
    virtual bool Carry(std::function<void(WindowCore&)> work) = 0;
    // A message box with no owner: blocks the calling worker until the operator answers it,
    // and leaves the window usable meanwhile.
    virtual void ShowBox(const std::string& text, const std::string& caption,
                         platform::MessageIcon icon) = 0;
    // Posts `message` to the controlling program `notify` (0: nobody); never waits.
    virtual void Post(int notify, int message) = 0;
    // The quit message to the window: it ends, without the cancel command's post.
    virtual void PostQuit() = 0;
};

// The window link that the job writes through: each call goes through the carrier to the core
// of the window that started the job.
class CoreWindowLink : public platform::WindowLink {
  public:
    explicit CoreWindowLink(WindowCarrier& carrier) : carrier_(carrier) {}

    void SetText(platform::Display display, const std::string& text) override;
    std::string GetText(platform::Display display) override;
    void SetProgressRange(int low, int high) override;
    void SetProgressPos(int pos) override;
    void MessageBox(const std::string& text, const std::string& caption,
                    platform::MessageIcon icon) override;
    void Post(int notify, int message) override;
    void PostQuit() override;

  private:
    WindowCarrier& carrier_;
};

// The options that the Advanced dialog edits.
struct AdvancedOptions {
    int SkipSeeking = 0;
    int ResetAfterDownload = 0;
    int UseSpecificAddress = 0;
    int SpecificAddress = -1;
};

class WindowCore {
  public:
    explicit WindowCore(WindowFace& face);

    // The options, the busy flag and the controlling program; shared with the worker, which
    // may outlive the window.
    JobHost& Host() { return *host_; }
    // The carrier that the window's workers reach it through, and what ties a worker's thread
    // to this window, called first on each worker thread.
    void SetWorkerLink(WindowCarrier* carrier, std::function<void()> bind_worker);

    // The command line named the port (the speed): the store does not replace it for this run.
    void KeepSwitchChoices(bool port, bool baud);
    // The initialisation after the face has built its controls and the instructions: the
    // choices shown, the settings loaded, the images that Start will send named.
    void OnInitDialog();
    // Reads the store; the choices it holds are shown as soon as each is read. False when the
    // store cannot be used (StoreProblem says why).
    bool LoadSettings();
    const std::string& StoreProblem() const { return store_problem_; }
    // The words of the box that says why the store cannot be used.
    std::string StoreProblemText() const;

    // A click on a port or speed button: the choice is stored at once; the option itself
    // changes at Start.
    void OnPortButton(int index);
    void OnBaudButton(int index);
    // Start, with the buttons checked now (-1 where none is): starts a job unless one runs.
    void Start(int checked_port, int checked_baud);
    // The options handed to the Advanced dialog, and those it hands back after OK and Cancel
    // alike (stored, and seen by a running job at its next activation).
    AdvancedOptions AdvancedOptionsNow() const;
    void TakeBackAdvanced(const AdvancedOptions& options);

    bool JobIsRunning() const { return host_->JobRunning.load() != 0; }
    // The OK command may end the window: no job runs and no close is under way.
    bool MayEndByOk() const { return !JobIsRunning() && !closing_; }
    // The cancel command is asking or waiting; a second close does nothing meanwhile.
    bool Closing() const { return closing_; }
    void SetClosing(bool closing) { closing_ = closing; }
    // The operator has confirmed that the running job is to stop: it stops between two
    // operations, closes the port and is recorded as interrupted.
    void RequestStop() { host_->StopRequested = 1; }
    // True once the last job started has ended and handed its record to the history.
    bool JobRecorded() const;
    // What the window says once its wait for a stopped job ended (`finished`: the job did);
    // empty when the job came to its own end first.
    std::string StoppedText(bool finished) const;
    // Tells the controlling program that the window ends by the operator's command.
    void PostProgramClosed();
    int WorkersStarted() const { return workers_started_; }

    // What the worker's calls do (window's thread, while the worker waits).
    void SetDisplay(platform::Display display, const std::string& text);
    std::string DisplayText(platform::Display display) const;
    void SetProgressRange(int low, int high);
    void SetProgressPos(int pos);
    // A status text of the job: when the port said more than the text does (why it did not
    // open, that it carries no breaks), that reason is shown under it.
    void NoteJobStatus(const std::string& status);
    void NoteJobFiles(int files);
    void NoteJobEnded(const JobRecord& record);
    // Shows `text` under the status text, after any reason shown there already.
    void ShowJobNote(const std::string& text);
    const std::string& ShownCause() const { return shown_cause_; }
    // Names in the file name display the images that Start will send; only while idle.
    void ShowPlannedImages();

  private:
    void ShowCause(const std::string& cause);
    void ClearCause();
    void ShowProgressText();
    bool StartWorker();

    WindowFace& face_;
    std::shared_ptr<JobHost> host_ = std::make_shared<JobHost>();
    WindowCarrier* carrier_ = nullptr;
    std::function<void()> bind_worker_;
    // The last job started, kept until the next one starts.
    std::shared_ptr<WindowJob> job_;
    bool closing_ = false;
    int workers_started_ = 0;
    bool port_from_switch_ = false;
    bool baud_from_switch_ = false;
    // The port that the last job was started on, as the job names it ("COM1").
    std::string job_port_name_;
    std::string shown_cause_;
    std::string store_problem_;
    JobProgress progress_;
    int progress_low_ = 0;
    int progress_high_ = 100;
    int progress_pos_ = 0;
    // The bytes each display was last given, as Display numbers them (the job reads the file
    // name back).
    std::array<std::string, 5> displays_;
};

}  // namespace vantor::ui
