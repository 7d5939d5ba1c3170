// vantor-drive-sim's options: the table its parser reads, which the tests hold to its help, the
// shell completions and the manual page. Its other argument is the simulated drive's options.
#pragma once

#include <string>

#include "platform/option_rows.h"
#include "platform/program_options.h"

namespace vantor::drivesim {

// What the command line asks for.
struct Request {
    std::string port;  // as given; judged once every argument is read
    std::string host = "127.0.0.1";
    std::string drive_options;  // as after "sim:"
    bool drive_options_given = false;
    bool help = false;
    bool version = false;
};

// One option and where it goes: a switch turns `flag` on, a value is kept in `text`.
struct OptionRow {
    platform::ProgramOption option;
    bool Request::*flag = nullptr;
    std::string Request::*text = nullptr;
};

inline constexpr OptionRow kOptionRows[] = {
    {{"--port", "PORT"}, nullptr, &Request::port},
    {{"--host", "ADDRESS"}, nullptr, &Request::host},
    {{"--help"}, &Request::help},
    {{"-h"}, &Request::help},
    {{"--version"}, &Request::version},
};

inline constexpr auto kOptions = platform::OptionsOfRows(kOptionRows);

}  // namespace vantor::drivesim
