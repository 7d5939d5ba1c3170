// The program's frame: reads the command line into the main window, runs the window modally
// and ends with it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantor::ui {

class MainDialog;

class DownloaderApp {
  public:
    DownloaderApp() = default;
    virtual ~DownloaderApp() = default;

    // At start-up, before the program opens a descriptor of its own: checks the descriptor that
    // the "m" switch names. Without this call InitInstance checks it itself.
    void CheckNotifyDescriptor(const std::vector<std::string>& params);

    // Runs the whole program for the parameters after the program's name. Returns false: there
    // is no further message loop, and the program ends.
    virtual bool InitInstance(const std::vector<std::string>& params);

    // The main window of this run, while it is open.
    MainDialog* MainWindow = nullptr;

  private:
    // The "m" descriptor that passed the check; 0 when it names none.
    std::optional<int> inherited_notify_;
};

}  // namespace vantor::ui
