// A production line from one command: `vantor-cli download IMAGE --port A --port B ...`
// flashes every station at once, each in a child process of its own, with one live view, one
// report for the whole line and one exit status.
#pragma once

#include <string>
#include <vector>

namespace vantor::cli {

// Runs the line on the arguments that follow "download"; returns the exit status.
int RunProductionLine(const std::vector<std::string>& arguments);

// The help text of the line's options, for the download's help.
const char* ProductionLineHelp();

}  // namespace vantor::cli
