// What a download or an identify on one port was asked to do: its arguments read and checked, with
// the usage messages that name the argument at fault.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/program_options.h"

namespace vantor::cli {

struct DownloadSettings {
    std::string image;
    std::string files_list;
    std::string port = "COM1";
    int baud_choice = 0;
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
    bool stay = false;
    bool help = false;
    bool version = false;
    bool identify = false;  // the identify command, which reads no image
};

// Reads the arguments that follow the command's name; the usage message when one is wrong.
std::optional<std::string> ParseDownloadSettings(const std::vector<std::string>& arguments,
                                                 DownloadSettings& settings);
// True for an option of download or identify that takes a value (so that a reader of the
// arguments, as the production line is, can step over the value).
bool DownloadOptionTakesValue(const std::string& name);
// The options that download's and identify's help and completions show, from the one table
// that the parser reads; the tests hold the help, the completions and the manual page to them.
// Download takes the production line's options as well (LineOptions()).
platform::OptionTable DownloadOptions();
platform::OptionTable IdentifyOptions();
// What is wrong with the settings as a whole; nothing when they would run.
std::optional<std::string> CheckDownloadSettings(const DownloadSettings& settings);

}  // namespace vantor::cli
