// The operator's main window as a Win32 dialog over the window's core: it draws and forwards,
// the core decides.
#pragma once

#include "ui/win32/windows_api.h"

#include <string>
#include <vector>

#include "ui/window_core.h"

namespace vantor::ui::win32 {

class MainWindow final : private WindowFace {
  public:
    MainWindow() = default;

    WindowCore& Core() { return core_; }
    // Shows the window modally until it ends.
    void DoModal();

  private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
    INT_PTR Handle(UINT message, WPARAM wparam, LPARAM lparam);

    void ShowChoices(int port_index, int baud_choice) override;
    void ShowDisplay(platform::Display display, const std::string& text) override;
    void ShowProgress(int low, int high, int pos) override;
    void ShowProgressText(const std::string& text) override;
    void ShowCause(const std::string& cause) override;
    void ShowPlannedPaths(const std::vector<std::string>& paths) override;

    void OnInitDialog();
    void OnCommand(int id);
    int CheckedButton(int first, int count) const;
    void Start();
    void Advanced();
    void ShowAboutBox();
    // The OK command: nothing while a job runs or a close is under way.
    void Accept();
    // The cancel command: during a download it asks first, and when the operator confirms it
    // stops the job and waits for it (bounded) before the window ends.
    void Reject();
    bool AskToStopTheJob();
    void StopTheJob();
    // Every end of the window goes through here; from then on the worker's calls return at once.
    void End(INT_PTR result);
    // The job's quit: the window ends, and every modal loop open over it, without the cancel
    // command's post.
    void EndByQuit();

    HWND dialog_ = nullptr;
    bool ended_ = false;
    WindowCore core_{*this};
};

}  // namespace vantor::ui::win32
