#include "ui/downloader_app.h"

#include "ui/command_line.h"
#include "ui/main_dialog.h"

namespace vantor::ui {

bool DownloaderApp::InitInstance(const std::vector<std::string>& params) {
    MainDialog dialog;
    MainWindow = &dialog;
    SwitchCommandLineInfo command_line;
    ParseCommandLine(params, command_line);
    ApplyCommandLine(command_line, dialog.Host());
    // The result is not looked at; the stored settings read while the window opens may
    // replace the port and speed just set.
    dialog.DoModal();
    MainWindow = nullptr;
    return false;
}

}  // namespace vantor::ui
