// A production line on Windows: its stations would need a process harness of their own
// (CreateProcess with pipes in place of fork and poll), which this build does not have yet. A line
// is refused with a clear message rather than run one station at a time behind the user's back.
#include "cli/console/command_line.h"
#include "cli/line/production_line.h"

namespace vantor::cli {

const char* const kProductionLineHelp =
    "production line: several stations at once (--port more than once, --ports-from,\n"
    "  --max-parallel, --retry, --stop-on-first-failure) are not available on Windows;\n"
    "  start one vantor-cli per port.\n";

int RunProductionLine(const std::vector<std::string>& /*arguments*/) {
    return UsageError("download",
                      "several stations at once are not available on Windows; start one "
                      "vantor-cli per --port");
}

}  // namespace vantor::cli
