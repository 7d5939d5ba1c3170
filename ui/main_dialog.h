// The operator's main window: port and speed, Start, Advanced and Exit, the instructions, and
// the displays that the download job writes while it runs.
#pragma once

#include <QDialog>
#include <QIcon>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "job/job.h"
#include "platform/window_link.h"
#include "ui/window_core.h"

class QButtonGroup;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace vantor::ui {

class ColorListBox;

// The Qt face of the window: draws the controls and forwards the operator's commands to the
// window's core.
class MainDialog : public QDialog, private WindowFace {
    Q_OBJECT
  public:
    // The result of a window ended by the job's quit message.
    static constexpr int kQuitResult = -1;

    explicit MainDialog(QWidget* parent = nullptr);
    ~MainDialog() override;

    // The options, the busy flag and the controlling program; shared with the worker, which
    // may outlive the window.
    JobHost& Host() { return core_.Host(); }
    WindowCore& Core() { return core_; }

    // Fills the instructions, loads the stored settings and shows the options; then the modal
    // run. Its result is not looked at.
    int DoModal();
    void OnInitDialog();

    // Two-way transfer between the port and speed buttons and PortIndex and BaudChoice.
    void DoDataExchange(bool from_controls);
    void LoadSettings();
    // The command line named the port (the speed): the store does not replace it for this run.
    void KeepSwitchChoices(bool port, bool baud);

    // The displays, as the job writes them through the window link (window's thread).
    void SetDisplayText(platform::Display display, const std::string& text);
    std::string DisplayText(platform::Display display) const;
    void SetProgressRange(int low, int high);
    void SetProgressPos(int pos);
    // A status text that the job gave (window's thread, while the job waits): when the port said
    // more than the text does (why it did not open, that it carries no breaks), that reason
    // goes under it, in the instructions list.
    void NoteJobStatus(const std::string& status);
    // The reason shown under the status text, empty when none is shown.
    const std::string& ShownCause() const { return core_.ShownCause(); }
    // Why the settings store cannot be used, as its box said; empty when it can.
    const std::string& StoreProblem() const { return core_.StoreProblem(); }
    // The job has ended and its record is written (window's thread, while the worker waits):
    // what it met that the status line does not say is shown under it.
    void NoteJobEnded(const JobRecord& record);
    // The job has checked the images it will send (window's thread, while the worker waits).
    void NoteJobFiles(int files);
    // Shows `text` under the status text, after any reason shown there already.
    void ShowJobNote(const std::string& text);
    // The name that the window's own boxes carry as their caption: the program file's.
    static QString ProgramName();
    // The job's quit message: ends the modal run, and every modal run open over it, without
    // the cancel command's post.
    void EndByQuit();

    // The controls, by their roles.
    QPushButton* StartButton() const { return start_button_; }
    QPushButton* AdvancedButton() const { return advanced_button_; }
    QPushButton* ExitButton() const { return exit_button_; }
    QRadioButton* PortButton(int index) const { return port_buttons_[index]; }
    QRadioButton* BaudButton(int index) const { return baud_buttons_[index]; }
    QLabel* Label(platform::Display display) const;
    QProgressBar* ProgressBar() const { return progress_bar_; }
    ColorListBox* InstructionsList() const { return instructions_list_; }
    QIcon AppIcon() const { return app_icon_; }
    // True once the last job started has ended and handed its record to the history.
    bool JobRecorded() const;
    // Workers started by this window, for tests.
    int WorkersStarted() const { return core_.WorkersStarted(); }

  public slots:
    void Start();
    void Advanced();
    void ShowAboutBox();
    // The OK command: take the buttons back, tell the controlling program, then end; nothing
    // while a job runs.
    void accept() override;
    // The cancel command (Exit, Escape, the close box): tell the controlling program, then end.
    // During a download it asks first, and when the operator confirms it stops the job and
    // waits for it (bounded) before it ends.
    void reject() override;

    // Every end of the window goes through here.
    void done(int result) override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // Tab and Backtab go round the six option buttons, each a tab stop of its own.
    bool focusNextPrevChild(bool next) override;

  private:
    // What the core has the face draw.
    void ShowChoices(int port_index, int baud_choice) override;
    void ShowDisplay(platform::Display display, const std::string& text) override;
    void ShowProgress(int low, int high, int pos) override;
    void ShowProgressText(const std::string& text) override;
    void ShowCause(const std::string& cause) override;
    void ShowPlannedPaths(const std::vector<std::string>& paths) override;

    void CreateControls();
    void CreateOptionButtons();
    void CreateDisplays();
    void AddInstructionLines();
    void ShowPortDevices();
    bool AskToStopTheJob();
    void StopTheJob();
    // Runs the window's calls until the last job has finished or `bound` has passed; true when
    // it has finished.
    bool WaitForTheJob(std::chrono::milliseconds bound);
    void ShowStoreProblem();
    static void CloseModalWindowsOver(QWidget* window);

    WindowCore core_{*this};
    QIcon app_icon_;

    QPushButton* start_button_ = nullptr;
    QPushButton* advanced_button_ = nullptr;
    QPushButton* exit_button_ = nullptr;
    std::array<QRadioButton*, 4> port_buttons_{};
    std::array<QRadioButton*, 2> baud_buttons_{};
    QButtonGroup* port_group_ = nullptr;
    QButtonGroup* baud_group_ = nullptr;
    ColorListBox* instructions_list_ = nullptr;
    QProgressBar* progress_bar_ = nullptr;
    // StatusLine, VersionLabel, RevisionLabel, FileNameLabel, AddressLabel, as Display numbers
    // them.
    std::array<QLabel*, 5> labels_{};
};

}  // namespace vantor::ui
