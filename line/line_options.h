// The production line's options: what the line takes for itself and what it passes on to every
// station, and the check of all of it before any station starts. The same on every system.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "line/station_command.h"
#include "platform/program_options.h"
#include "platform/result.h"
#include "records/unit_fields.h"

namespace vantor::line {

inline constexpr const char* kLineCommand = "download";
inline constexpr std::size_t kMostStations = 256;

struct LineSettings {
    StationCommand command;  // what each station runs; set before the arguments are read
    std::vector<std::string> ports;
    // Each station's own unit serial, operator, order and label, from its line of the ports
    // file; one for each port, empty for a port given by --port.
    std::vector<records::UnitFields> station_units;
    std::string ports_from;
    long max_parallel = 0;  // 0: every station at once
    long retries = 0;
    bool stop_on_first_failure = false;
    std::string report;
    bool json = false;
    bool quiet = false;
    std::string image;
    std::string files_list;
    std::vector<std::string> child_options;     // passed to every station
    std::vector<std::string> child_parameters;  // after "--"
};

// The unit fields of station `index` (from 0) from the ports file; empty when it gave none.
records::UnitFields StationUnit(const LineSettings& settings, std::size_t index);

// The line's own options, which download takes besides its own (DownloadOptions()).
platform::OptionTable LineOptions();

// True when the download's arguments ask for a line: more than one --port, --ports-from, or
// one of the line's own options. A single --port runs the download in this process.
bool WantsProductionLine(const std::vector<std::string>& arguments, const StationCommand& command);

// Reads the line's arguments (those after "download") into `settings`, for the stations'
// command set there; fails with the usage message when one is wrong.
Result<void> ParseLine(const std::vector<std::string>& arguments, LineSettings& settings);

// Succeeds when every station would run; else fails with what is wrong with the line as a whole
// or with one of its stations' downloads, as the usage error says it.
Result<void> CheckLine(const LineSettings& settings);

// The arguments of one station's child process, the command first; `files_list`, when given,
// stands for the list named by --files-list. The station's own `unit` fields replace those
// that the line gives every station.
std::vector<std::string> ChildArguments(const LineSettings& settings, const std::string& device,
                                        const std::string& files_list = "",
                                        const records::UnitFields& unit = {});

}  // namespace vantor::line
