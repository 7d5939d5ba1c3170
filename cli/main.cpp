// vantor-cli: the download job without a window.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/console_window.h"
#include "job/job.h"
#include "platform/port_map.h"

namespace {

int Usage(const char* problem) {
    std::fprintf(stderr,
                 "vantor-cli: %s\nusage: vantor-cli --port ADDRESS [--baud 9600|19200] [IMAGE]\n",
                 problem);
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantor;
    JobHost host;
    std::string port = "sim";
    host.Options.BaudChoice = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            port = argv[++i];
        } else if (arg == "--baud" && i + 1 < argc) {
            host.Options.BaudChoice = std::strcmp(argv[++i], "9600") == 0 ? 0 : 1;
        } else if (!arg.empty() && arg[0] != '-') {
            host.Options.ImagePath = arg;
        } else {
            return Usage(("unknown argument \"" + arg + "\"").c_str());
        }
    }
    platform::SetPortMapOverride(1, port);
    host.Options.PortIndex = 0;
    host.Options.SkipSeeking = 1;
    cli::ConsoleWindow window(stdout);
    platform::ScopedWindowLink scoped(window);
    host.JobRunning = 1;
    return DownloadJob(host);
}
