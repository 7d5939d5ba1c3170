// The program's frame: reads the command line into the main window, runs the window modally
// and ends with it.
#pragma once

#include <string>
#include <vector>

namespace vantor::ui {

class MainDialog;

class DownloaderApp {
  public:
    DownloaderApp() = default;
    virtual ~DownloaderApp() = default;

    // Runs the whole program for the parameters after the program's name. Returns false: there
    // is no further message loop, and the program ends.
    virtual bool InitInstance(const std::vector<std::string>& params);

    // The main window of this run, while it is open.
    MainDialog* MainWindow = nullptr;
};

}  // namespace vantor::ui
