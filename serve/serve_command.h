// vantor-cli serve: a production line served on HTTP, its stations started and stopped from a
// browser's dashboard or by the API, until SIGINT or SIGTERM.
#pragma once

#include <string>
#include <vector>

#include "line/station_command.h"

namespace vantor::cli {

int RunServe(const std::vector<std::string>& arguments, const StationCommand& command);

}  // namespace vantor::cli
