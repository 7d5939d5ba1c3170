// The production line's options, the same on every system; running the stations is the
// system's own (station_process.h).
#include "line/line_options.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "line/station_device.h"
#include "platform/program_options.h"

namespace vantor::cli {

namespace {

using platform::ArgumentReader;
using platform::ParseWhole;

constexpr std::size_t kMostPortsFileBytes = 64 * 1024;
constexpr long kMostRetries = 100;

// The line's own options; every other option is a download's, passed on to each station.
constexpr platform::ProgramOption kLineOptions[] = {
    {"--ports-from", "FILE",
     "one port a line (# starts a comment)\n"
     "a PORT may also be usb-serial:SERIAL (the adapter's USB serial\n"
     "number) or by-id:NAME (a name under /dev/serial/by-id/)"},
    {"--max-parallel", "N", "at most N stations at once (default: all)"},
    {"--retry", "N", "run a failed station again from the start, up to N times"},
    {"--stop-on-first-failure", {}, "start no new station once one has failed"},
};

bool IsLineFlag(const std::string& option) {
    const platform::ProgramOption* found = platform::FindOption(kLineOptions, option);
    return found != nullptr && !found->TakesValue();
}

bool IsLineOption(const std::string& option) {
    return platform::FindOption(kLineOptions, option) != nullptr;
}

// An option of the line or of a station's download that takes a value (so that a reader of the
// arguments can step over it).
bool TakesValue(const std::string& option, const StationCommand& command) {
    const platform::ProgramOption* found = platform::FindOption(kLineOptions, option);
    return found != nullptr ? found->TakesValue() : command.option_takes_value(option);
}

// The port name with each control byte shown as \xHH, for a message.
std::string Shown(const std::string& port) {
    std::string shown;
    for (const char c : port) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

// No device address holds a control byte; one that does (a NUL from a damaged ports file, a
// stray line end) would only fail in its station's process, after other stations have started.
std::optional<std::string> ControlByteProblem(const std::string& port) {
    if (Shown(port) == port) {
        return std::nullopt;
    }
    return "the port \"" + Shown(port) + "\" holds a control byte";
}

// Reads a ports file: one port a line; blank lines and lines starting with # are skipped.
std::optional<std::string> ReadPortsFile(const std::string& path, std::vector<std::string>& ports) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return "--ports-from \"" + path + "\": " + std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode) ||
        static_cast<std::size_t>(status.st_size) > kMostPortsFileBytes) {
        return "--ports-from \"" + path + "\": not a regular file of at most 64 KiB";
    }
    std::ifstream file(path);
    int number = 0;
    for (std::string line; std::getline(file, line);) {
        ++number;
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        const auto last = line.find_last_not_of(" \t\r");
        std::string port = line.substr(first, last - first + 1);
        if (auto problem = ControlByteProblem(port)) {
            return "--ports-from \"" + path + "\" line " + std::to_string(number) + ": " + *problem;
        }
        ports.push_back(std::move(port));
    }
    if (file.bad()) {
        return "--ports-from \"" + path + "\": cannot be read";
    }
    return std::nullopt;
}

std::optional<std::string> TakeLineValue(const std::string& option, const std::string& value,
                                         LineSettings& settings) {
    if (option == "--port") {
        if (value.empty()) {
            return "--port needs a value";
        }
        if (auto problem = ControlByteProblem(value)) {
            return "--port: " + *problem;
        }
        settings.ports.push_back(value);
    } else if (option == "--ports-from") {
        settings.ports_from = value;
        return ReadPortsFile(value, settings.ports);
    } else if (option == "--max-parallel") {
        const auto number = ParseWhole(value, 1, static_cast<long>(kMostStations));
        if (!number) {
            return "--max-parallel \"" + value + "\": a number of stations, 1 to 256";
        }
        settings.max_parallel = *number;
    } else if (option == "--retry") {
        const auto number = ParseWhole(value, 0, kMostRetries);
        if (!number) {
            return "--retry \"" + value + "\": a number of retries, 0 to 100";
        }
        settings.retries = *number;
    } else if (option == "--report") {
        if (value.empty()) {
            return "--report needs a value";
        }
        settings.report = value;
    } else if (option == "--traffic-log" || option == "--notify-fd") {
        return option + " belongs to a single station's run (one --port)";
    } else {
        if (option == "--files-list") {
            settings.files_list = value;
        }
        settings.child_options.push_back(option);
        settings.child_options.push_back(value);
    }
    return std::nullopt;
}

// Two stations whose ports are two names of one device (COM1 and /dev/ttyS0, a link and its
// target, a host name and its address) would talk over each other to one drive as surely as
// one name given twice.
std::optional<std::string> SameDeviceProblem(const std::vector<std::string>& ports) {
    std::map<std::string, const std::string*> owners;
    for (const std::string& port : ports) {
        for (const std::string& key : StationDeviceKeys(port)) {
            const auto [owner, added] = owners.emplace(key, &port);
            if (!added && owner->second != &port) {
                return "the ports \"" + *owner->second + "\" and \"" + port + "\" are one device";
            }
        }
    }
    return std::nullopt;
}

}  // namespace

platform::OptionTable LineOptions() {
    return kLineOptions;
}

bool WantsProductionLine(const std::vector<std::string>& arguments, const StationCommand& command) {
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
        line_option = line_option || IsLineOption(argument);
        if (TakesValue(argument, command) && !reader.HasAttachedValue() && !reader.Done()) {
            reader.Next();
        }
    }
    return ports > 1 || line_option;
}

std::optional<std::string> ParseLine(const std::vector<std::string>& arguments,
                                     LineSettings& settings) {
    ArgumentReader reader(arguments);
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        if (!reader.IsOption(argument)) {
            settings.image = settings.image.empty() ? argument : settings.image;
            settings.child_parameters.push_back(argument);
            continue;
        }
        if (argument == "--json" || argument == "--quiet" || IsLineFlag(argument)) {
            if (reader.HasAttachedValue()) {
                return argument + " takes no value";
            }
            (argument == "--json"    ? settings.json
             : argument == "--quiet" ? settings.quiet
                                     : settings.stop_on_first_failure) = true;
        } else if (TakesValue(argument, settings.command)) {
            std::string error;
            const auto value = reader.Value(argument, error);
            if (!value) {
                return error;
            }
            if (auto problem = TakeLineValue(argument, *value, settings)) {
                return problem;
            }
        } else {
            settings.child_options.push_back(argument);  // the station's own check judges it
        }
    }
    return std::nullopt;
}

std::vector<std::string> ChildArguments(const LineSettings& settings, const std::string& device,
                                        const std::string& files_list) {
    std::vector<std::string> arguments{kLineCommand};
    arguments.insert(arguments.end(), settings.child_options.begin(), settings.child_options.end());
    if (!files_list.empty()) {
        const auto option = std::find(arguments.begin(), arguments.end(), "--files-list");
        if (option != arguments.end() && option + 1 != arguments.end()) {
            *(option + 1) = files_list;
        }
    }
    arguments.insert(arguments.end(), {"--port", device, "--json"});
    // The stations of a line finish many at once, and no one can tell whose tone it is: each
    // would only wait it out.
    if (std::find(arguments.begin(), arguments.end(), "--no-tone") == arguments.end()) {
        arguments.push_back("--no-tone");
    }
    if (!settings.child_parameters.empty()) {
        // After "--" an image whose name begins with "-" is still an image.
        arguments.push_back("--");
        arguments.insert(arguments.end(), settings.child_parameters.begin(),
                         settings.child_parameters.end());
    }
    return arguments;
}

std::optional<std::string> CheckLine(const LineSettings& settings) {
    if (settings.ports.empty()) {
        return "--ports-from \"" + settings.ports_from + "\" names no port";
    }
    if (settings.ports.size() > kMostStations) {
        return "a line has at most 256 stations";
    }
    if (settings.json && settings.quiet) {
        return "--json and --quiet exclude each other";
    }
    std::set<std::string> seen;
    for (const std::string& port : settings.ports) {
        if (!seen.insert(port).second) {
            // Two stations on one port would talk over each other to one drive.
            return "the port \"" + port + "\" is given twice";
        }
        // Each station's settings are checked here once, so that a mistake stops the line
        // before any drive is touched.
        std::vector<std::string> check = ChildArguments(settings, port);
        check.erase(check.begin());
        if (auto problem = settings.command.usage_problem(check)) {
            return *problem;
        }
    }
    return SameDeviceProblem(settings.ports);
}

}  // namespace vantor::cli
