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
#include <utility>

#include "line/station_device.h"
#include "platform/program_options.h"
#include "platform/result.h"

namespace vantor::line {

namespace {

using platform::ArgumentReader;
using platform::ParseWhole;

constexpr std::size_t kMostPortsFileBytes = 64 * 1024;
constexpr long kMostRetries = 100;

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
Result<void> CheckControlBytes(const std::string& port) {
    if (Shown(port) == port) {
        return {};
    }
    return Failure{"the port \"" + Shown(port) + "\" holds a control byte"};
}

// Splits `text` into words at blanks and tabs; a word in double quotes may hold blanks (and no
// double quote). An unclosed quote fails.
Result<std::vector<std::string>> SplitWords(const std::string& text) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (true) {
        at = text.find_first_not_of(" \t", at);
        if (at == std::string::npos) {
            return words;
        }
        if (text[at] == '"') {
            const auto close = text.find('"', at + 1);
            if (close == std::string::npos) {
                return Failure{"a double quote is not closed"};
            }
            words.push_back(text.substr(at + 1, close - at - 1));
            at = close + 1;
            continue;
        }
        const auto end = text.find_first_of(" \t", at);
        words.push_back(text.substr(at, end == std::string::npos ? end : end - at));
        at = end;
    }
}

// The station's own fields after its port on a line of a ports file: --unit-serial TEXT,
// --operator NAME, --order TEXT, --station-label TEXT.
Result<records::UnitFields> ReadStationFields(const std::string& text) {
    const Result<std::vector<std::string>> split = SplitWords(text);
    if (!split) {
        return Failure{split.reason()};
    }
    // --order=WO-7 is --order WO-7, as on the command line.
    std::vector<std::string> words;
    for (const std::string& word : *split) {
        const auto equals = word.find('=');
        if (word.rfind("--", 0) == 0 && equals != std::string::npos) {
            words.push_back(word.substr(0, equals));
            words.push_back(word.substr(equals + 1));
        } else {
            words.push_back(word);
        }
    }
    records::UnitFields unit;
    for (std::size_t index = 0; index < words.size(); index += 2) {
        std::string records::UnitFields::*field = records::UnitFieldOf(words[index]);
        if (field == nullptr) {
            return Failure{"\"" + Shown(words[index]) +
                           "\" is none of a station's own options (--unit-serial, --operator, "
                           "--order, --station-label)"};
        }
        if (index + 1 == words.size()) {
            return Failure{words[index] + " needs a value"};
        }
        if (Result<void> checked = records::UnitFieldProblem(words[index], words[index + 1]);
            !checked) {
            return Failure{checked.reason()};
        }
        unit.*field = words[index + 1];
    }
    return unit;
}

// A station as a line of a ports file gives it.
struct PortsLine {
    std::string port;
    records::UnitFields unit;
};

// One line of a ports file: the port, then, after a blank, the station's own fields. A port
// holds no blank followed by "--", so a line without one is a port alone, as it always was.
Result<PortsLine> ReadPortsLine(const std::string& line) {
    std::size_t fields = std::string::npos;
    for (std::size_t at = line.find("--"); at != std::string::npos; at = line.find("--", at + 1)) {
        if (at > 0 && (line[at - 1] == ' ' || line[at - 1] == '\t')) {
            fields = at;
            break;
        }
    }
    PortsLine read{line.substr(0, fields), {}};
    read.port.erase(read.port.find_last_not_of(" \t") + 1);
    if (Result<void> checked = CheckControlBytes(read.port); !checked) {
        return Failure{checked.reason()};
    }
    if (fields != std::string::npos) {
        auto unit = ReadStationFields(line.substr(fields));
        if (!unit) {
            return Failure{unit.reason()};
        }
        read.unit = std::move(*unit);
    }
    return read;
}

// Reads a ports file: one port a line, with the station's own fields after it; blank lines and
// lines starting with # are skipped.
Result<void> ReadPortsFile(const std::string& path, LineSettings& settings) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return Failure{"--ports-from \"" + path + "\": " + std::strerror(errno)};
    }
    if (!S_ISREG(status.st_mode) ||
        static_cast<std::size_t>(status.st_size) > kMostPortsFileBytes) {
        return Failure{"--ports-from \"" + path + "\": not a regular file of at most 64 KiB"};
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
        auto station = ReadPortsLine(line.substr(first, last - first + 1));
        if (!station) {
            return Failure{"--ports-from \"" + path + "\" line " + std::to_string(number) + ": " +
                           station.reason()};
        }
        settings.ports.push_back(std::move(station->port));
        settings.station_units.push_back(std::move(station->unit));
    }
    if (file.bad()) {
        return Failure{"--ports-from \"" + path + "\": cannot be read"};
    }
    return {};
}

using TakeLineValue = Result<void> (*)(const std::string& option, const std::string& value,
                                       LineSettings& settings);

Result<void> TakePort(const std::string&, const std::string& value, LineSettings& settings) {
    if (value.empty()) {
        return Failure{"--port needs a value"};
    }
    if (Result<void> checked = CheckControlBytes(value); !checked) {
        return Failure{"--port: " + checked.reason()};
    }
    settings.ports.push_back(value);
    settings.station_units.emplace_back();
    return {};
}

Result<void> TakePortsFrom(const std::string&, const std::string& value, LineSettings& settings) {
    settings.ports_from = value;
    return ReadPortsFile(value, settings);
}

Result<void> TakeMaxParallel(const std::string&, const std::string& value, LineSettings& settings) {
    const auto number = ParseWhole(value, 1, static_cast<long>(kMostStations));
    if (!number) {
        return Failure{"--max-parallel \"" + value + "\": a number of stations, 1 to 256"};
    }
    settings.max_parallel = *number;
    return {};
}

Result<void> TakeRetry(const std::string&, const std::string& value, LineSettings& settings) {
    const auto number = ParseWhole(value, 0, kMostRetries);
    if (!number) {
        return Failure{"--retry \"" + value + "\": a number of retries, 0 to 100"};
    }
    settings.retries = *number;
    return {};
}

Result<void> TakeReport(const std::string&, const std::string& value, LineSettings& settings) {
    if (value.empty()) {
        return Failure{"--report needs a value"};
    }
    settings.report = value;
    return {};
}

// The files list is the stations' to read, and the line's to copy for each station.
Result<void> TakeFilesList(const std::string& option, const std::string& value,
                           LineSettings& settings) {
    settings.files_list = value;
    settings.child_options.push_back(option);
    settings.child_options.push_back(value);
    return {};
}

Result<void> RefuseOnALine(const std::string& option, const std::string&, LineSettings&) {
    return Failure{option + " belongs to a single station's run (one --port)"};
}

// Whose an option is: the line's own, or one of the stations' command that the line reads as
// well. A value is read for the line's own as its table says, for a station's as the station's
// command says.
enum class Owner { kLine, kStation };

// One option that the line reads; every other is a station's, passed on to each station. A
// switch turns `flag` on; `take` reads the value of an option that has one.
struct LineOption {
    platform::ProgramOption option;
    Owner owner = Owner::kLine;
    bool LineSettings::*flag = nullptr;
    TakeLineValue take = nullptr;
};

const LineOption kLineOptions[] = {
    {{"--ports-from", "FILE",
      "one port a line (# starts a comment), then the station's own\n"
      "--unit-serial, --operator, --order, --station-label (\"...\" for blanks)\n"
      "a PORT may also be usb-serial:SERIAL (the adapter's USB serial\n"
      "number) or by-id:NAME (a name under /dev/serial/by-id/)"},
     Owner::kLine,
     nullptr,
     TakePortsFrom},
    {{"--max-parallel", "N", "at most N stations at once (default: all)"},
     Owner::kLine,
     nullptr,
     TakeMaxParallel},
    {{"--retry", "N", "run a failed station again from the start, up to N times"},
     Owner::kLine,
     nullptr,
     TakeRetry},
    {{"--stop-on-first-failure", {}, "start no new station once one has failed"},
     Owner::kLine,
     &LineSettings::stop_on_first_failure},
    {{"--json"}, Owner::kStation, &LineSettings::json},
    {{"--quiet"}, Owner::kStation, &LineSettings::quiet},
    {{"--port"}, Owner::kStation, nullptr, TakePort},
    {{"--report"}, Owner::kStation, nullptr, TakeReport},
    {{"--files-list"}, Owner::kStation, nullptr, TakeFilesList},
    {{"--traffic-log"}, Owner::kStation, nullptr, RefuseOnALine},
    {{"--notify-fd"}, Owner::kStation, nullptr, RefuseOnALine},
};

const LineOption* FindLineOption(const std::string& name) {
    for (const LineOption& option : kLineOptions) {
        if (option.option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

bool IsLineOption(const std::string& option) {
    const LineOption* found = FindLineOption(option);
    return found != nullptr && found->owner == Owner::kLine;
}

// An option of the line or of a station's download that takes a value (so that a reader of the
// arguments can step over it).
bool TakesValue(const std::string& option, const StationCommand& command) {
    const LineOption* found = FindLineOption(option);
    return found != nullptr && found->owner == Owner::kLine ? found->option.TakesValue()
                                                            : command.option_takes_value(option);
}

// Reads one option: the line's switches and values for itself, the stations' for each station.
Result<void> ReadLineOption(ArgumentReader& reader, const std::string& name,
                            LineSettings& settings) {
    const LineOption* option = FindLineOption(name);
    if (option != nullptr && option->flag != nullptr) {
        if (reader.HasAttachedValue()) {
            return Failure{name + " takes no value"};
        }
        settings.*option->flag = true;
        return {};
    }
    if (!TakesValue(name, settings.command)) {
        settings.child_options.push_back(name);  // the station's own check judges it
        return {};
    }
    const auto value = reader.Value(name);
    if (!value) {
        return Failure{value.reason()};
    }
    if (option != nullptr) {
        return option->take(name, *value, settings);
    }
    settings.child_options.push_back(name);
    settings.child_options.push_back(*value);
    return {};
}

// Two stations whose ports are two names of one device (COM1 and /dev/ttyS0, a link and its
// target, a host name and its address) would talk over each other to one drive as surely as
// one name given twice.
Result<void> CheckSameDevice(const std::vector<std::string>& ports) {
    std::map<std::string, const std::string*> owners;
    for (const std::string& port : ports) {
        for (const std::string& key : StationDeviceKeys(port)) {
            const auto [owner, added] = owners.emplace(key, &port);
            if (!added && owner->second != &port) {
                return Failure{"the ports \"" + *owner->second + "\" and \"" + port +
                               "\" are one device"};
            }
        }
    }
    return {};
}

// A unit serial names one unit: given to the whole line, every station would record the same
// unit; given to two stations of the ports file, one of them has the wrong unit.
Result<void> CheckUnitSerials(const LineSettings& settings) {
    const auto& options = settings.child_options;
    if (settings.ports.size() > 1 &&
        std::find(options.begin(), options.end(), records::kUnitSerialOption) != options.end()) {
        return Failure{"--unit-serial names one unit, and the line has " +
                       std::to_string(settings.ports.size()) +
                       " stations: give each station its own in the ports file (PORT "
                       "--unit-serial TEXT)"};
    }
    std::map<std::string, std::size_t> owners;
    for (std::size_t index = 0; index < settings.station_units.size(); ++index) {
        const std::string& serial = settings.station_units[index].unit_serial;
        if (serial.empty()) {
            continue;
        }
        if (const auto [owner, added] = owners.emplace(serial, index); !added) {
            return Failure{"the unit serial \"" + serial + "\" is given to stations " +
                           std::to_string(owner->second + 1) + " and " + std::to_string(index + 1)};
        }
    }
    return {};
}

}  // namespace

records::UnitFields StationUnit(const LineSettings& settings, std::size_t index) {
    return index < settings.station_units.size() ? settings.station_units[index]
                                                 : records::UnitFields{};
}

platform::OptionTable LineOptions() {
    static const std::vector<platform::ProgramOption> own = [] {
        std::vector<platform::ProgramOption> options;
        for (const LineOption& option : kLineOptions) {
            if (option.owner == Owner::kLine) {
                options.push_back(option.option);
            }
        }
        return options;
    }();
    return own;
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

Result<void> ParseLine(const std::vector<std::string>& arguments, LineSettings& settings) {
    ArgumentReader reader(arguments);
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        if (!reader.IsOption(argument)) {
            settings.image = settings.image.empty() ? argument : settings.image;
            settings.child_parameters.push_back(argument);
            continue;
        }
        if (Result<void> read = ReadLineOption(reader, argument, settings); !read) {
            return read;
        }
    }
    return {};
}

std::vector<std::string> ChildArguments(const LineSettings& settings, const std::string& device,
                                        const std::string& files_list,
                                        const records::UnitFields& unit) {
    std::vector<std::string> arguments{kLineCommand};
    const std::vector<std::string>& options = settings.child_options;
    for (std::size_t index = 0; index < options.size(); ++index) {
        // The line's value of a field that the station gives itself is left out with its value.
        std::string records::UnitFields::*field = records::UnitFieldOf(options[index]);
        if (field != nullptr && !(unit.*field).empty() && index + 1 < options.size()) {
            ++index;
            continue;
        }
        arguments.push_back(options[index]);
    }
    const std::vector<std::string> own = records::UnitFieldArguments(unit);
    arguments.insert(arguments.end(), own.begin(), own.end());
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

Result<void> CheckLine(const LineSettings& settings) {
    if (settings.ports.empty()) {
        return Failure{"--ports-from \"" + settings.ports_from + "\" names no port"};
    }
    if (settings.ports.size() > kMostStations) {
        return Failure{"a line has at most 256 stations"};
    }
    if (settings.json && settings.quiet) {
        return Failure{"--json and --quiet exclude each other"};
    }
    if (Result<void> checked = CheckUnitSerials(settings); !checked) {
        return checked;
    }
    std::set<std::string> seen;
    for (std::size_t index = 0; index < settings.ports.size(); ++index) {
        const std::string& port = settings.ports[index];
        if (!seen.insert(port).second) {
            // Two stations on one port would talk over each other to one drive.
            return Failure{"the port \"" + port + "\" is given twice"};
        }
        // Each station's settings are checked here once, so that a mistake stops the line
        // before any drive is touched.
        std::vector<std::string> check =
            ChildArguments(settings, port, "", StationUnit(settings, index));
        check.erase(check.begin());
        if (Result<void> usable = settings.command.check_usage(check); !usable) {
            return usable;
        }
    }
    return CheckSameDevice(settings.ports);
}

}  // namespace vantor::line
