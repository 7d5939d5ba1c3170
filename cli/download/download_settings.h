// What a download or an identify on one port was asked to do: its arguments read and checked, with
// the usage messages that name the argument at fault.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/program_options.h"
#include "platform/result.h"
#include "records/unit_fields.h"

namespace vantor::cli {

// Where a run's port or rate came from: the command line, the one USB adapter present (--port
// auto), the choice the window last stored, or the program's own default.
enum class ChoiceSource { kOption, kAuto, kStore, kDefault };

// "option", "auto", "store" or "default", as the start event gives it.
const char* ChoiceSourceName(ChoiceSource source);

struct DownloadSettings {
    std::string image;
    std::string files_list;
    std::string port = "COM1";
    int baud_choice = 0;
    ChoiceSource port_source = ChoiceSource::kDefault;
    ChoiceSource baud_source = ChoiceSource::kDefault;
    std::string store_problem;  // why the stored choices could not be read; empty when they were
    int address = -1;
    bool skip_seeking = false;
    bool reset_after = false;
    int notify_fd = 0;
    std::string traffic_log;
    bool json = false;
    bool quiet = false;
    bool virtual_time = false;
    bool strict = false;
    std::string report;
    std::string history;  // --history: a SQLite file or a postgresql:// URL
    bool no_history = false;
    bool no_tone = false;  // --no-tone: no success tone after each image
    bool stay = false;
    bool help = false;
    bool version = false;
    bool identify = false;     // the identify command, which reads no image
    records::UnitFields unit;  // --unit-serial, --operator, --order, --station-label
};

// Reads the arguments that follow the command's name; the usage message when one is wrong.
Result<void> ParseDownloadSettings(const std::vector<std::string>& arguments,
                                   DownloadSettings& settings);
// True for an option of download or identify that takes a value (so that a reader of the
// arguments, as the production line is, can step over the value).
bool DownloadOptionTakesValue(const std::string& name);
// The options that download's and identify's help and completions show, from the one table
// that the parser reads; the tests hold the help, the completions and the manual page to them.
// Download takes the production line's options as well (LineOptions()).
platform::OptionTable DownloadOptions();
platform::OptionTable IdentifyOptions();
// The options part of each command's --help, made from the table.
std::string DownloadOptionsHelp();
std::string IdentifyOptionsHelp();
// Takes the port (COM) and the rate (BRAT) that the window last chose, by the window's own
// reading of them, where the command line gave neither --port nor --baud; without a stored
// choice the defaults (COM1, 9600) stay. A store that cannot be read leaves the defaults and
// `store_problem` says why (its port map then opens nothing, as before).
void TakeStoredChoices(DownloadSettings& settings);
// The line that says which port (and its device) and rate a run uses, and where they came
// from, when the command line did not give both; empty when it did.
std::string ChoicesNote(const DownloadSettings& settings);

// What is wrong with the settings as a whole; success when they would run.
Result<void> CheckDownloadSettings(const DownloadSettings& settings);

}  // namespace vantor::cli
