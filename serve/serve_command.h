// vantor-cli serve: a production line served on HTTP, its stations started and stopped from a
// browser's dashboard or by the API, until SIGINT or SIGTERM.
#pragma once

#include <string>
#include <vector>

#include "line/station_command.h"

namespace vantor::serve {

int RunServe(const std::vector<std::string>& arguments, const line::StationCommand& command);

}  // namespace vantor::serve
