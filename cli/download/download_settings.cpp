#include "cli/download/download_settings.h"

#include <cctype>
#include <climits>
#include <string_view>
#include <utility>

#include "cli/console/command_line.h"
#include "cli/download/port_address.h"
#include "line/line_options.h"
#include "platform/registry.h"
#include "platform/regular_file.h"
#include "platform/serial/port_identity.h"
#include "platform/serial/rfc2217_device.h"
#include "platform/serial/serial_devices.h"
#include "platform/stored_choices.h"
#include "platform/window_link.h"
#include "records/run_record.h"
#include "sim/sim_options.h"

namespace vantor::cli {

namespace {

constexpr int kHighestAddress = 31;

// Where an option's words begin in the help, and how wide the list of options that identify
// shares with download may run.
constexpr std::size_t kHelpColumn = 22;
constexpr std::size_t kSharedOptionsWidth = 92;

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

// A value that names a file or a port: anything but empty.
Result<void> TakeText(const std::string& option, const std::string& text, std::string& setting) {
    if (text.empty()) {
        return Failure{option + " needs a value"};
    }
    setting = text;
    return {};
}

Result<void> TakePort(const std::string& text, DownloadSettings& settings) {
    if (Result<void> taken = TakeText("--port", text, settings.port); !taken) {
        return taken;
    }
    settings.port_source =
        text == platform::kAutoPort ? ChoiceSource::kAuto : ChoiceSource::kOption;
    return {};
}

Result<void> TakeBaud(const std::string& text, DownloadSettings& settings) {
    if (text != "9600" && text != "19200") {
        return Failure{"--baud \"" + text + "\": the drive talks at 9600 or 19200"};
    }
    settings.baud_choice = text == "19200" ? 1 : 0;
    settings.baud_source = ChoiceSource::kOption;
    return {};
}

Result<void> TakeAddress(const std::string& text, DownloadSettings& settings) {
    const auto address = ParseAddress(text);
    if (!address) {
        return Failure{"--address \"" + text +
                       "\": an address is 0 to 31, or a character 0-9, A-V"};
    }
    settings.address = *address;
    return {};
}

Result<void> TakeNotifyFd(const std::string& text, DownloadSettings& settings) {
    const auto fd = ParseWhole(text, 0, INT_MAX);
    if (!fd) {
        return Failure{"--notify-fd \"" + text + "\": not a file descriptor number"};
    }
    if (const std::string problem = platform::NotifyDescriptorProblem(static_cast<int>(*fd));
        !problem.empty()) {
        return Failure{"--notify-fd " + text + ": " + problem};
    }
    settings.notify_fd = static_cast<int>(*fd);
    return {};
}

// The unit's serial, the operator, the order or the station's label: printable text of at most
// 64 characters, checked before anything is opened.
Result<void> TakeUnitField(const char* option, const std::string& text,
                           DownloadSettings& settings) {
    if (Result<void> checked = records::UnitFieldProblem(option, text); !checked) {
        return checked;
    }
    settings.unit.*records::UnitFieldOf(option) = text;
    return {};
}

Result<void> TakeUnitSerial(const std::string& text, DownloadSettings& settings) {
    return TakeUnitField(records::kUnitSerialOption, text, settings);
}

Result<void> TakeOperator(const std::string& text, DownloadSettings& settings) {
    return TakeUnitField(records::kOperatorOption, text, settings);
}

Result<void> TakeOrder(const std::string& text, DownloadSettings& settings) {
    return TakeUnitField(records::kOrderOption, text, settings);
}

Result<void> TakeStationLabel(const std::string& text, DownloadSettings& settings) {
    return TakeUnitField(records::kStationLabelOption, text, settings);
}

// Which command's help and completions show an option; the checks (CheckDownloadSettings) refuse
// one given to the other command. --virtual-time is for the tests and shown by neither.
enum class ShownIn { kBoth, kDownload, kIdentify, kNeither };

// One option of download and identify. A switch turns `flag` on; an option with a value keeps
// it in `text` (any value but empty) or has `take` check it.
struct DownloadOption {
    platform::ProgramOption option;
    ShownIn shown_in = ShownIn::kBoth;
    bool DownloadSettings::*flag = nullptr;
    std::string DownloadSettings::*text = nullptr;
    Result<void> (*take)(const std::string&, DownloadSettings&) = nullptr;
};

// Every option of the two commands, the one table that the parser, the help, the completions and
// the manual page all follow (tests/packaging/option_tables_test.cpp holds them to it).
const DownloadOption kDownloadOptions[] = {
    {{"--files-list", "PATH", "download every line of this files list instead of one IMAGE"},
     ShownIn::kDownload,
     nullptr,
     &DownloadSettings::files_list},
    {{"--port", "PORT",
      "COM1 to COM4 through the port map, or a device: /dev/ttyUSB0,\n"
      "rfc2217://HOST:PORT, sim or sim:OPTIONS; auto: the one USB serial\n"
      "adapter present (none or several: status 5, each named)"},
     ShownIn::kBoth,
     nullptr,
     nullptr,
     TakePort},
    {{"--baud", "RATE",
      "9600 or 19200\n"
      "--port or --baud left out: the window's last choice (the settings\n"
      "store), else COM1 and 9600; stderr says which"},
     ShownIn::kBoth,
     nullptr,
     nullptr,
     TakeBaud},
    {{"--address", "N",
      "activate the drive at this address, 0 to 31 or its character\n"
      "0-9, A-V, instead of seeking it"},
     ShownIn::kBoth,
     nullptr,
     nullptr,
     TakeAddress},
    {{"--skip-seeking", {}, "the drive is in its boot loader already: do not look for it first"},
     ShownIn::kBoth,
     &DownloadSettings::skip_seeking},
    {{"--reset-after",
      {},
      "reset the drive after a successful download (a single IMAGE or a\n"
      "files list), so that it leaves its boot loader"},
     ShownIn::kDownload,
     &DownloadSettings::reset_after},
    {{"--notify-fd", "N",
      "write 1035 and a line feed to file descriptor N after a successful\n"
      "single-image download"},
     ShownIn::kDownload,
     nullptr,
     nullptr,
     TakeNotifyFd},
    {{"--traffic-log", "FILE",
      "log every byte and break on the line, both ways, with timestamps\n"
      "(a regular file, or - for stdout)"},
     ShownIn::kBoth,
     nullptr,
     &DownloadSettings::traffic_log},
    {{"--json",
      {},
      "one JSON object per line on stdout for every event, with a start\n"
      "and a closing summary event (the run record)"},
     ShownIn::kBoth,
     &DownloadSettings::json},
    {{"--report", "FILE",
      "write the run's record to FILE as one JSON document, also when the\n"
      "run fails (replaced whole, never half written; its folder is\n"
      "checked first, and one that cannot be written fails the run)"},
     ShownIn::kBoth,
     nullptr,
     &DownloadSettings::report},
    {{"--history", "PLACE",
      "record the run in this history: a SQLite file or a\n"
      "postgresql:// URL (default: VANTOR_HISTORY, else\n"
      "$XDG_DATA_HOME/vantor/history.sqlite; see vantor-cli history)"},
     ShownIn::kBoth,
     nullptr,
     &DownloadSettings::history},
    {{"--no-history", {}, "record the run in no history"},
     ShownIn::kBoth,
     &DownloadSettings::no_history},
    {{"--no-tone",
      {},
      "no success tone after each image (a line's stations never\n"
      "sound it)"},
     ShownIn::kDownload,
     &DownloadSettings::no_tone},
    {{"--strict", {}, "fail on what the design lets pass (statuses 20, 21, 23)"},
     ShownIn::kDownload,
     &DownloadSettings::strict},
    {{"--quiet", {}, "show only the result and errors"}, ShownIn::kBoth, &DownloadSettings::quiet},
    {{"--unit-serial", "TEXT",
      "the serial number of the unit on the line, kept in the run's record\n"
      "and history (vantor-cli history --unit-serial finds it); at most\n"
      "64 printable characters, as are the next three"},
     ShownIn::kBoth,
     nullptr,
     nullptr,
     TakeUnitSerial},
    {{"--operator", "NAME",
      "who runs it (the history keeps the system user the run runs as\n"
      "apart, and shows that user, marked as such, where NAME is not given)"},
     ShownIn::kBoth,
     nullptr,
     nullptr,
     TakeOperator},
    {{"--order", "TEXT", "the work order the unit is made for"},
     ShownIn::kBoth,
     nullptr,
     nullptr,
     TakeOrder},
    {{"--station-label", "TEXT", "the station's own name for the record (the port stays the key)"},
     ShownIn::kBoth,
     nullptr,
     nullptr,
     TakeStationLabel},
    {{"--stay", {}, "leave the drive in its boot loader"},
     ShownIn::kIdentify,
     &DownloadSettings::stay},
    {{"--virtual-time"}, ShownIn::kNeither, &DownloadSettings::virtual_time},
    {{"--help"}, ShownIn::kBoth, &DownloadSettings::help},
    {{"-h"}, ShownIn::kBoth, &DownloadSettings::help},
    {{"--version"}, ShownIn::kBoth, &DownloadSettings::version},
};

const DownloadOption* FindDownloadOption(std::string_view name) {
    for (const DownloadOption& option : kDownloadOptions) {
        if (option.option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

std::vector<platform::ProgramOption> OptionsShownIn(ShownIn command) {
    std::vector<platform::ProgramOption> options;
    for (const DownloadOption& option : kDownloadOptions) {
        if (option.shown_in == command || option.shown_in == ShownIn::kBoth) {
            options.push_back(option.option);
        }
    }
    return options;
}

// Reads one option; the usage message when it is wrong.
Result<void> ReadOption(ArgumentReader& reader, const std::string& name,
                        DownloadSettings& settings) {
    const DownloadOption* option = FindDownloadOption(name);
    if (option == nullptr) {
        // The name meant may be a download's, or (for download) a line's: --ports-from.
        std::vector<platform::ProgramOption> known;
        for (const DownloadOption& each : kDownloadOptions) {
            known.push_back(each.option);
        }
        if (!settings.identify) {
            known.insert(known.end(), line::LineOptions().begin(), line::LineOptions().end());
        }
        return Failure{UnknownOption(name, known)};
    }
    const auto text = platform::ReadOptionValue(reader, option->option, name);
    if (!text) {
        return Failure{text.reason()};
    }
    if (option->flag != nullptr) {
        settings.*option->flag = true;
        return {};
    }
    return option->text != nullptr ? TakeText(name, **text, settings.*option->text)
                                   : option->take(**text, settings);
}

// The port with the device it stands for, which the user may not know it to be (COM1 is the
// machine's own first serial port unless the port map says otherwise).
std::string PortAndDevice(const DownloadSettings& settings) {
    if (settings.port_source == ChoiceSource::kAuto) {
        for (const platform::SerialDeviceEntry& device : platform::ListSerialDevices()) {
            if (device.path == settings.port) {
                return "port " + AdapterDescription(device);
            }
        }
        return "port " + settings.port;
    }
    const auto device = EffectiveAddress(settings.port).ValueOr(std::nullopt);
    return "port " + settings.port +
           (!device                    ? " (no device)"
            : *device == settings.port ? ""
                                       : " (" + *device + ")");
}

// Why a choice is what it is, for one choice ("it") or two ("them").
std::string Reason(ChoiceSource source, bool both) {
    switch (source) {
        case ChoiceSource::kStore:
            return both ? "as the window last used them" : "as the window last used it";
        case ChoiceSource::kAuto:
            return "the one USB serial adapter present";
        case ChoiceSource::kOption:
        case ChoiceSource::kDefault:
            break;
    }
    return both ? "the defaults" : "the default";
}

}  // namespace

Result<void> ParseDownloadSettings(const std::vector<std::string>& arguments,
                                   DownloadSettings& settings) {
    ArgumentReader reader(arguments);
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        if (reader.IsOption(argument)) {
            if (Result<void> read = ReadOption(reader, argument, settings); !read) {
                return read;
            }
        } else if (settings.image.empty() && !argument.empty()) {
            settings.image = argument;
        } else {
            return Failure{"unexpected argument \"" + argument + "\" (one IMAGE at most)"};
        }
    }
    return {};
}

const char* ChoiceSourceName(ChoiceSource source) {
    switch (source) {
        case ChoiceSource::kOption:
            return "option";
        case ChoiceSource::kAuto:
            return "auto";
        case ChoiceSource::kStore:
            return "store";
        case ChoiceSource::kDefault:
            break;
    }
    return "default";
}

void TakeStoredChoices(DownloadSettings& settings) {
    const bool port_open = settings.port_source == ChoiceSource::kDefault;
    const bool baud_open = settings.baud_source == ChoiceSource::kDefault;
    if (!port_open && !baud_open) {
        return;
    }
    const platform::Registry registry(platform::RegistryFilePath(),
                                      platform::Registry::DamagedFile::Keep);
    if (Result<void> readable = registry.CheckReadable(); !readable) {
        settings.store_problem = readable.reason();
        return;
    }
    // A store this user may not write still says what the window last chose.
    auto key = registry.OpenKeyForReading(platform::kSettingsKey);
    if (!key) {
        return;
    }
    if (const auto com = registry.QueryValue(*key, "COM", platform::kComBufferBytes);
        com && port_open) {
        // The window's rule: COM1, COM3 and COM4 by the first character, anything else COM2.
        settings.port = "COM" + std::to_string(platform::PortIndexFromCom(*com) + 1);
        settings.port_source = ChoiceSource::kStore;
    }
    if (const auto brat = registry.QueryValue(*key, "BRAT", platform::kBratBufferBytes);
        brat && baud_open) {
        settings.baud_choice = platform::BaudChoiceFromBrat(*brat);
        settings.baud_source = ChoiceSource::kStore;
    }
    platform::Registry::CloseKey(*key);
}

std::string ChoicesNote(const DownloadSettings& settings) {
    const bool port_told = settings.port_source != ChoiceSource::kOption;
    const bool baud_told = settings.baud_source != ChoiceSource::kOption;
    const std::string baud = std::string(settings.baud_choice == 1 ? "19200" : "9600") + " baud";
    std::string note;
    if (port_told && baud_told && settings.port_source == settings.baud_source) {
        note = PortAndDevice(settings) + " and " + baud + ", " + Reason(settings.port_source, true);
    } else if (port_told && baud_told) {
        note = PortAndDevice(settings) + ", " + Reason(settings.port_source, false) + ", and " +
               baud + ", " + Reason(settings.baud_source, false);
    } else if (port_told) {
        note = PortAndDevice(settings) + ", " + Reason(settings.port_source, false);
    } else if (baud_told) {
        note = baud + ", " + Reason(settings.baud_source, false);
    } else {
        return "";
    }
    const bool port_open = settings.port_source == ChoiceSource::kStore ||
                           settings.port_source == ChoiceSource::kDefault;
    if (!settings.store_problem.empty()) {
        // A port name then has no device, and the port's own failure gives the whole reason.
        note += port_open ? ", as the settings store cannot be read"
                          : " (" + settings.store_problem + ")";
    }
    if (port_open && baud_told) {
        note += "; --port and --baud choose others";
    } else if (port_open) {
        note += "; --port chooses another";
    } else if (baud_told) {
        note += "; --baud chooses another";
    }
    return note;
}

Result<void> CheckDownloadSettings(const DownloadSettings& settings) {
    if (settings.identify) {
        if (!settings.image.empty() || !settings.files_list.empty()) {
            return Failure{"identify reads no image: leave out IMAGE and --files-list"};
        }
        if (settings.reset_after || settings.strict || settings.notify_fd != 0) {
            return Failure{"--reset-after, --strict and --notify-fd belong to download"};
        }
    } else if (settings.stay) {
        return Failure{"--stay belongs to identify (download leaves the drive as the job does)"};
    } else if (settings.image.empty() && settings.files_list.empty()) {
        return Failure{"missing IMAGE or --files-list PATH: nothing to download"};
    }
    if (!settings.image.empty() && !settings.files_list.empty()) {
        return Failure{"IMAGE \"" + settings.image + "\" and --files-list exclude each other"};
    }
    if (settings.json && settings.quiet) {
        return Failure{"--json and --quiet exclude each other"};
    }
    if (settings.no_history && !settings.history.empty()) {
        return Failure{"--history and --no-history exclude each other"};
    }
    const auto address = EffectiveAddress(settings.port).ValueOr(std::nullopt);
    if (address) {
        if (Result<void> checked = platform::CheckRfc2217Address(*address); !checked) {
            return Failure{"--port: " + checked.reason()};
        }
    }
    if (address && address->rfind("sim:", 0) == 0) {
        if (const auto options = sim::ParseSimOptions(address->substr(4)); !options) {
            return Failure{"--port \"" + *address + "\": " + options.reason()};
        }
    }
    if (settings.virtual_time && !(address && IsSimAddress(*address))) {
        return Failure{
            "--virtual-time runs only against the simulated drive (--port sim[:OPTIONS])"};
    }
    // Windows opens its device names (COM9.log is COM9) whatever the extension or folder.
    for (const auto& [option, path] :
         {std::pair<const char*, const std::string&>{"IMAGE", settings.image},
          {"--files-list", settings.files_list},
          {"--traffic-log", settings.traffic_log},
          {"--report", settings.report}}) {
        if (Result<void> checked = platform::CheckFileName(path); !checked) {
            return Failure{std::string(option) + ": " + checked.reason()};
        }
    }
    // A report that cannot be written is known before the drive is touched.
    if (!settings.report.empty()) {
        if (Result<void> checked = records::ReportPlaceProblem(settings.report); !checked) {
            return Failure{"--report \"" + settings.report + "\": " + checked.reason()};
        }
    }
    return {};
}

bool DownloadOptionTakesValue(const std::string& name) {
    const DownloadOption* option = FindDownloadOption(name);
    return option != nullptr && option->option.TakesValue();
}

platform::OptionTable DownloadOptions() {
    static const std::vector<platform::ProgramOption> shown = OptionsShownIn(ShownIn::kDownload);
    return shown;
}

platform::OptionTable IdentifyOptions() {
    static const std::vector<platform::ProgramOption> shown = OptionsShownIn(ShownIn::kIdentify);
    return shown;
}

std::string DownloadOptionsHelp() {
    return platform::OptionsHelp(DownloadOptions(), kHelpColumn);
}

std::string IdentifyOptionsHelp() {
    // Identify's options that download shares are named once, with download's words for them.
    std::vector<std::string> shared;
    std::vector<platform::ProgramOption> own;
    for (const DownloadOption& option : kDownloadOptions) {
        const platform::ProgramOption& shown = option.option;
        if (option.shown_in == ShownIn::kBoth && !shown.help.empty()) {
            shared.push_back(std::string(shown.name) +
                             (shown.TakesValue() ? " " + std::string(shown.value) : ""));
        } else if (option.shown_in != ShownIn::kDownload && option.shown_in != ShownIn::kNeither) {
            own.push_back(shown);
        }
    }
    std::string help = platform::WrappedList(shared, kSharedOptionsWidth);
    help.insert(help.size() - 1, "   as for download");
    return help + platform::OptionsHelp(own, kHelpColumn);
}

}  // namespace vantor::cli
