// vantor.exe: the operator's program for downloading firmware images to a drive, in the
// design's Win32 dialogs.
#include "ui/win32/windows_api.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/simulated_line.h"
#include "ui/command_line.h"
#include "ui/job_history.h"
#include "ui/job_words.h"
#include "ui/win32/main_window_win.h"
#include "ui/win32/win32_carrier.h"

int main(int argc, char** argv) {
    vantor::sim::RegisterSimulatedDeviceScheme();
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&controls);

    const std::vector<std::string> params(argv + 1, argv + argc);
    vantor::ui::win32::MainWindow window;
    vantor::ui::SwitchCommandLineInfo command_line;
    vantor::ui::ParseCommandLine(params, command_line);
    // "-m" names the controlling program's window, posted to as it is given.
    const vantor::ui::SwitchesGiven given =
        vantor::ui::ApplyCommandLine(command_line, window.Core().Host());
    // A port or speed that the controlling program names wins over the stored one for this
    // run, so that the drive it means is the one that gets the image.
    window.Core().KeepSwitchChoices(given.port, given.baud);
    window.DoModal();

    // The window's last job may still be writing its record (a single image's success ends the
    // window at once): it is waited for, within a bound, its calls into the window returning at
    // once now.
    if (!vantor::ui::win32::WaitCarrying(
            [] { return vantor::ui::WaitForWindowJobs(std::chrono::milliseconds(0)); },
            std::chrono::seconds(vantor::ui::kStopBoundSeconds))) {
        std::fprintf(stderr, "vantor: a job had not ended within %d seconds of the window's end\n",
                     vantor::ui::kStopBoundSeconds);
    }
    std::fflush(nullptr);
    std::_Exit(EXIT_SUCCESS);
}
