// The production line's options and help: which downloads ask for a line. Shared by every
// system; running the stations is the system's own.
#include <set>

#include "cli/command_line.h"
#include "cli/production_line.h"

namespace vantor::cli {

bool IsLineFlag(const std::string& option) {
    return option == "--stop-on-first-failure";
}

bool IsLineValueOption(const std::string& option) {
    return option == "--ports-from" || option == "--max-parallel" || option == "--retry";
}

bool TakesValue(const std::string& option) {
    static const std::set<std::string> kValueOptions{
        "--port",        "--files-list", "--baud",       "--address",      "--notify-fd",
        "--traffic-log", "--report",     "--ports-from", "--max-parallel", "--retry"};
    return kValueOptions.count(option) != 0;
}

const char* const kProductionLineHelp =
    "production line (several stations at once, each in a process of its own):\n"
    "  --port PORT         given more than once: one station per port\n"
    "  --ports-from FILE   one port a line (# starts a comment)\n"
    "                      a PORT may also be usb-serial:SERIAL (the adapter's USB serial\n"
    "                      number) or by-id:NAME (a name under /dev/serial/by-id/)\n"
    "  --max-parallel N    at most N stations at once (default: all)\n"
    "  --retry N           run a failed station again from the start, up to N times\n"
    "  --stop-on-first-failure  start no new station once one has failed\n"
    "  --report FILE       one JSON document for the whole line, one entry per station\n"
    "  a live row per station on a terminal; --json passes every station's events on with\n"
    "  a \"station\" field, then one line-summary event. Exit status 0 when every station\n"
    "  succeeded, 30 when some did not, 130/143 when interrupted.\n";

bool WantsProductionLine(const std::vector<std::string>& arguments) {
    ArgumentReader reader(arguments);
    int ports = 0;
    bool line_option = false;
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        if (!reader.IsOption(argument)) {
            continue;
        }
        if (argument == "--help" || argument == "-h" || argument == "--version") {
            return false;
        }
        ports += argument == "--port" ? 1 : 0;
        line_option = line_option || IsLineFlag(argument) || IsLineValueOption(argument);
        if (TakesValue(argument) && !reader.HasAttachedValue() && !reader.Done()) {
            reader.Next();
        }
    }
    return ports > 1 || line_option;
}

}  // namespace vantor::cli
