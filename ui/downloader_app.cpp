#include "ui/downloader_app.h"

#include "ui/command_line.h"
#include "ui/main_dialog.h"

namespace vantor::ui {

void DownloaderApp::CheckNotifyDescriptor(const std::vector<std::string>& params) {
    inherited_notify_ = InheritedNotifyDescriptor(params);
}

bool DownloaderApp::InitInstance(const std::vector<std::string>& params) {
    if (!inherited_notify_) {
        CheckNotifyDescriptor(params);
    }
    MainDialog dialog;
    MainWindow = &dialog;
    SwitchCommandLineInfo command_line;
    ParseCommandLine(params, command_line);
    const SwitchesGiven given = ApplyCommandLine(command_line, dialog.Host());
    // A number naming one of the program's own descriptors (the display connection, say)
    // names no controlling program: posts to it go nowhere.
    if (dialog.Host().NotifyWindowFd != *inherited_notify_) {
        dialog.Host().NotifyWindowFd = 0;
    }
    // A port or speed that the controlling program names wins over the stored one for this
    // run, so that the drive it means is the one that gets the image.
    dialog.KeepSwitchChoices(given.port, given.baud);
    // The result is not looked at.
    dialog.DoModal();
    MainWindow = nullptr;
    return false;
}

}  // namespace vantor::ui
