// vantor: the operator's program for downloading firmware images to a drive.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/simulated_line.h"
#include "ui/about_dialog.h"
#include "ui/command_line.h"
#include "ui/downloader_app.h"

namespace {

// The operator may choose a style (-style, QT_STYLE_OVERRIDE); otherwise the windows take the
// classic look that their templates were drawn for.
bool StyleChosenByOperator(int argc, char** argv) {
    if (std::getenv("QT_STYLE_OVERRIDE") != nullptr) {
        return true;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-style" || arg.rfind("-style=", 0) == 0 || arg == "--style" ||
            arg.rfind("--style=", 0) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    vantor::sim::RegisterSimulatedDeviceScheme();
    const std::vector<std::string> all_params(argv + 1, argv + argc);
    // Help and version need no window, nor a display to open one on.
    if (const auto text = vantor::ui::InfoSwitchText(all_params)) {
        std::fputs(text->c_str(), stdout);
        return EXIT_SUCCESS;
    }
    vantor::ui::DownloaderApp app;
    // Before Qt opens its display connection, which could take the very number given.
    app.CheckNotifyDescriptor(all_params);

    const bool style_chosen = StyleChosenByOperator(argc, argv);
    QApplication application(argc, argv);
    if (!style_chosen) {
        QApplication::setStyle(QStringLiteral("Windows"));
    }
    QApplication::setWindowIcon(vantor::ui::LoadAppIcon());
    // Qt has taken its own options out of argv; what is left after the program's name is ours.
    std::vector<std::string> params(argv + 1, argv + argc);
    app.InitInstance(params);
    // The window has waited (bounded) for its jobs' records; a job still running past that
    // bound is abandoned: the process ends without joining its worker and without running the
    // destructors of the state that the worker may still be using.
    std::fflush(nullptr);
    std::_Exit(EXIT_SUCCESS);
}
