// The history waits on Windows: no run is recorded there, and the history command says so.
#include <cstdio>

#include "cli/console/command_line.h"
#include "cli/history/history_recording.h"

namespace vantor::cli {

namespace {
constexpr platform::ProgramOption kHistoryOptions[] = {{"--help"}, {"-h"}, {"--version"}};
}  // namespace

void RecordInHistory(const std::string& place, bool, const records::RunSummary&, ConsoleOutput&) {
    if (!place.empty()) {
        std::fprintf(stderr,
                     "vantor-cli: --history: the history of runs is not kept on Windows "
                     "yet; the run is not recorded\n");
    }
}

int RunHistory(const std::vector<std::string>&) {
    return UsageError("history", "the history of runs is not kept on Windows yet");
}

platform::OptionTable HistoryOptions() {
    return kHistoryOptions;
}

}  // namespace vantor::cli
