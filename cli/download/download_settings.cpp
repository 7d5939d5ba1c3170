#include "cli/download/download_settings.h"

#include <algorithm>
#include <cctype>
#include <climits>

#include "cli/console/command_line.h"
#include "cli/download/port_address.h"
#include "platform/serial/rfc2217_device.h"
#include "platform/window_link.h"
#include "sim/sim_options.h"

namespace vantor::cli {

namespace {

constexpr int kHighestAddress = 31;

// The address as a number (0 to 31) or as the character the drive shows ("0"-"9", "A"-"V").
std::optional<int> ParseAddress(const std::string& text) {
    if (const auto number = ParseWhole(text, 0, kHighestAddress)) {
        return static_cast<int>(*number);
    }
    if (text.size() == 1) {
        const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        if (letter >= 'A' && letter <= 'V') {
            return letter - 'A' + 10;
        }
    }
    return std::nullopt;
}

// The options that take no value, and the setting each turns on.
bool* FlagSetting(const std::string& option, DownloadSettings& settings) {
    if (option == "--skip-seeking") {
        return &settings.skip_seeking;
    }
    if (option == "--reset-after") {
        return &settings.reset_after;
    }
    if (option == "--json") {
        return &settings.json;
    }
    if (option == "--quiet") {
        return &settings.quiet;
    }
    if (option == "--virtual-time") {
        return &settings.virtual_time;
    }
    if (option == "--strict") {
        return &settings.strict;
    }
    if (option == "--stay") {
        return &settings.stay;
    }
    if (option == "--help" || option == "-h") {
        return &settings.help;
    }
    return option == "--version" ? &settings.version : nullptr;
}

// Takes a checked value; returns the usage message when it is wrong.
std::optional<std::string> TakeValue(const std::string& option, const std::string& text,
                                     DownloadSettings& settings) {
    if (option == "--files-list" || option == "--port" || option == "--traffic-log" ||
        option == "--report") {
        if (text.empty()) {
            return option + " needs a value";
        }
        (option == "--files-list"    ? settings.files_list
         : option == "--port"        ? settings.port
         : option == "--traffic-log" ? settings.traffic_log
                                     : settings.report) = text;
    } else if (option == "--baud") {
        if (text != "9600" && text != "19200") {
            return "--baud \"" + text + "\": the drive talks at 9600 or 19200";
        }
        settings.baud_choice = text == "19200" ? 1 : 0;
    } else if (option == "--address") {
        const auto address = ParseAddress(text);
        if (!address) {
            return "--address \"" + text + "\": an address is 0 to 31, or a character 0-9, A-V";
        }
        settings.address = *address;
    } else {
        const auto fd = ParseWhole(text, 0, INT_MAX);
        if (!fd) {
            return "--notify-fd \"" + text + "\": not a file descriptor number";
        }
        if (const std::string problem = platform::NotifyDescriptorProblem(static_cast<int>(*fd));
            !problem.empty()) {
            return "--notify-fd " + text + ": " + problem;
        }
        settings.notify_fd = static_cast<int>(*fd);
    }
    return std::nullopt;
}

// Reads one option; returns the usage message when it is wrong.
std::optional<std::string> ReadOption(ArgumentReader& reader, const std::string& option,
                                      DownloadSettings& settings) {
    if (bool* flag = FlagSetting(option, settings)) {
        if (reader.HasAttachedValue()) {
            return option + " takes no value";
        }
        *flag = true;
        return std::nullopt;
    }
    static const char* const kValueOptions[] = {"--files-list", "--port",    "--traffic-log",
                                                "--baud",       "--address", "--notify-fd",
                                                "--report"};
    if (std::find(std::begin(kValueOptions), std::end(kValueOptions), option) ==
        std::end(kValueOptions)) {
        return "unknown option \"" + option + "\"";
    }
    std::string error;
    const auto text = reader.Value(option, error);
    if (!text) {
        return error;
    }
    return TakeValue(option, *text, settings);
}

}  // namespace

std::optional<std::string> ParseDownloadSettings(const std::vector<std::string>& arguments,
                                                 DownloadSettings& settings) {
    ArgumentReader reader(arguments);
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        if (reader.IsOption(argument)) {
            if (auto problem = ReadOption(reader, argument, settings)) {
                return problem;
            }
        } else if (settings.image.empty() && !argument.empty()) {
            settings.image = argument;
        } else {
            return "unexpected argument \"" + argument + "\" (one IMAGE at most)";
        }
    }
    return std::nullopt;
}

std::optional<std::string> CheckDownloadSettings(const DownloadSettings& settings) {
    if (settings.identify) {
        if (!settings.image.empty() || !settings.files_list.empty()) {
            return "identify reads no image: leave out IMAGE and --files-list";
        }
        if (settings.reset_after || settings.strict || settings.notify_fd != 0) {
            return "--reset-after, --strict and --notify-fd belong to download";
        }
    } else if (settings.stay) {
        return "--stay belongs to identify (download leaves the drive as the job does)";
    } else if (settings.image.empty() && settings.files_list.empty()) {
        return "missing IMAGE or --files-list PATH: nothing to download";
    }
    if (!settings.image.empty() && !settings.files_list.empty()) {
        return "IMAGE \"" + settings.image + "\" and --files-list exclude each other";
    }
    if (settings.json && settings.quiet) {
        return "--json and --quiet exclude each other";
    }
    const auto address = EffectiveAddress(settings.port);
    if (address) {
        if (auto problem = platform::Rfc2217AddressProblem(*address)) {
            return "--port: " + *problem;
        }
    }
    if (address && address->rfind("sim:", 0) == 0) {
        std::string error;
        if (!sim::ParseSimOptions(address->substr(4), &error)) {
            return "--port \"" + *address + "\": " + error;
        }
    }
    if (settings.virtual_time && !(address && IsSimAddress(*address))) {
        return "--virtual-time runs only against the simulated drive (--port sim[:OPTIONS])";
    }
    return std::nullopt;
}

}  // namespace vantor::cli
