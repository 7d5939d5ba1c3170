// A production line on Windows: its stations would need a process harness of their own
// (CreateProcess with pipes in place of fork and poll), which this build does not have yet. A line
// is refused with a clear message rather than run one station at a time behind the user's back,
// so nothing below is ever asked to start a child.
#include "cli/line/station_process.h"

namespace vantor::cli {

struct StationProcess::Handles {};

StationProcess::StationProcess() = default;
StationProcess::~StationProcess() = default;
StationProcess::StationProcess(StationProcess&& other) noexcept = default;
StationProcess& StationProcess::operator=(StationProcess&& other) noexcept = default;

std::optional<StationProcess> StationProcess::Start(const std::vector<std::string>& /*arguments*/,
                                                    std::string* error) {
    *error = "station processes are not available on Windows";
    return std::nullopt;
}

long StationProcess::Id() const {
    return -1;
}

std::optional<StationExit> StationProcess::TakeOutput(const LineHandler& /*on_event*/,
                                                      const LineHandler& /*on_error*/) {
    return StationExit{};
}

void StationProcess::Interrupt(int /*signal_number*/) {}

void StationProcess::Kill() {}

std::vector<StationProcess*> WaitForStations(const std::vector<StationProcess*>& /*running*/) {
    return {};
}

std::optional<std::string> MakeRoomForStations(long /*stations*/) {
    return std::nullopt;
}

void TieStationToLine() {}

std::string SignalName(int signal_number) {
    return "signal " + std::to_string(signal_number);
}

std::optional<StationsUnavailable> StationsUnavailableHere() {
    return StationsUnavailable{
        "several stations at once are not available on Windows; start one vantor-cli per --port",
        "production line: several stations at once (--port more than once, --ports-from,\n"
        "  --max-parallel, --retry, --stop-on-first-failure) are not available on Windows;\n"
        "  start one vantor-cli per port.\n"};
}

}  // namespace vantor::cli
