#include "ui/downloader_app.h"

#include <chrono>
#include <cstdio>

#include "ui/command_line.h"
#include "ui/job_history.h"
#include "ui/job_words.h"
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
    // The window's last job may still be writing its record (a single image's success ends the
    // window at once): it is waited for, within a bound, so that no job goes unrecorded.
    if (!WaitForWindowJobs(std::chrono::seconds(kStopBoundSeconds))) {
        std::fprintf(stderr,
                     "vantor: a job had not ended within %d seconds of the window's end; it is "
                     "not recorded in the history\n",
                     kStopBoundSeconds);
    }
    return false;
}

}  // namespace vantor::ui
