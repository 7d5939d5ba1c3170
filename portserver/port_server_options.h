// vantor-port-server's options: the table its parser and its help read, which the tests hold to
// the shell completions and the manual page.
#pragma once

#include <string>
#include <vector>

#include "platform/option_rows.h"
#include "platform/program_options.h"
#include "portserver/port_server.h"

namespace vantor::portserver {

// What the command line asks for.
struct Request {
    std::string device;
    std::string port;  // as given; judged once every option is read
    std::string host = "127.0.0.1";
    std::vector<AllowedNetwork> allowed;
    bool help = false;
    bool version = false;
};

// One option and where it goes: a switch turns `flag` on; a value is kept in `text`, or read as
// a network and added to `networks`.
struct OptionRow {
    platform::ProgramOption option;
    bool Request::*flag = nullptr;
    std::string Request::*text = nullptr;
    std::vector<AllowedNetwork> Request::*networks = nullptr;
};

inline constexpr OptionRow kOptionRows[] = {
    {{"--device", "DEVICE", "the serial device to serve, such as /dev/ttyUSB0"},
     nullptr,
     &Request::device},
    {{"--port", "PORT", "TCP port to listen on (0: any free port)"}, nullptr, &Request::port},
    {{"--host", "ADDRESS",
      "address to listen on (default 127.0.0.1; 0.0.0.0 or :: for every\n"
      "network)"},
     nullptr,
     &Request::host},
    {{"--allow", "ADDRESS/PREFIX", "only peers in this network may connect (may be given again)"},
     nullptr,
     nullptr,
     &Request::allowed},
    {{"--help"}, &Request::help},
    {{"-h"}, &Request::help},
    {{"--version"}, &Request::version},
};

inline constexpr auto kOptions = platform::OptionsOfRows(kOptionRows);

}  // namespace vantor::portserver
