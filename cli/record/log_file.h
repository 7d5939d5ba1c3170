// Opening the traffic log's file, which the systems do differently; one source file per system.
#pragma once

#include <cstdio>
#include <string>

namespace vantor::cli {

// "-" is standard output (a stream of its own, closed independently). Any other path is opened
// without waiting on it and must be a regular file, which is created or emptied. Returns
// nullptr and, when `error` is given, says why otherwise.
std::FILE* OpenLogFile(const std::string& path, std::string* error);

}  // namespace vantor::cli
