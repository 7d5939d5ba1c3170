#include "cli/console/command_line.h"

#include <algorithm>
#include <cstdio>

#include "records/exit_status.h"

namespace vantor::cli {

int UsageError(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "vantor-cli %s: %s\nTry 'vantor-cli %s --help'.\n", command.c_str(),
                 message.c_str(), command.c_str());
    return records::kExitUsage;
}

void PrintVersion() {
    std::printf("vantor-cli (Vantor %s)\n", VANTOR_VERSION);
}

}  // namespace vantor::cli
