// The production line's options: which downloads ask for a line. Shared by every
// system; running the stations is the system's own.
#include <set>

#include "cli/console/command_line.h"
#include "cli/line/production_line.h"

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
