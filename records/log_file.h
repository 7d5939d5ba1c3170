// What the run record needs of the system, which the systems do differently: opening the
// traffic log's file, and the machine's name. One source file per system.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include "platform/result.h"

namespace vantor::records {

// "-" is standard output (a stream of its own, closed independently). Any other path is opened
// without waiting on it and must be a regular file, which is created or emptied. Returns
// why otherwise.
Result<std::FILE*> OpenLogFile(const std::string& path);

// The machine's name, for the run record; empty when the system does not say.
std::string HostName();

// The reason for a path that names something other than a regular file.
inline constexpr const char* kLogNotRegularFile =
    "not a regular file (\"-\" writes the log to standard output)";

}  // namespace vantor::records
