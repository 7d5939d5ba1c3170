// The command line: the switches a controlling program gives ("-c COM3 -b 9600 -m 12") and the
// single image named first.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "job/job.h"

namespace vantor::ui {

class SwitchCommandLineInfo {
  public:
    virtual ~SwitchCommandLineInfo() = default;

    // Takes one parameter, already stripped of the "-" that marks a switch. A switch holds
    // "TRUE" until a plain parameter gives it a value; the first plain parameter that is no
    // switch's value is the file parameter.
    virtual void ParseParam(const std::string& param, bool is_switch, bool is_last);

    bool GetSwitch(const std::string& name, std::string& value) const;
    std::string GetFileParameter() const { return file_name_; }

    // Switch name without its "-" to its value text; names are compared exactly.
    std::map<std::string, std::string> Switches;
    // The last switch still waiting for its value.
    std::string PendingSwitch;

  private:
    std::string file_name_;
};

// Feeds each parameter after the program's name to `info`. Only "-" starts a switch: every
// absolute path here begins with "/".
void ParseCommandLine(const std::vector<std::string>& params, SwitchCommandLineInfo& info);

// The value rules of the switches.
// "c": the fourth character is the port digit; a shorter value chooses no port (-1).
int PortIndexFromSwitch(const std::string& value);
// "b": only "9600" exactly selects 9600 (0); anything else 19200 (1).
int BaudChoiceFromSwitch(const std::string& value);
// "m": a decimal number after leading blanks, with an optional sign; no digits give 0.
int NotifyWindowFromSwitch(const std::string& value);

// Which of the choices that the store also keeps the command line made.
struct SwitchesGiven {
    bool port = false;  // "c"
    bool baud = false;  // "b"
};

// Sets the image, port, speed and the window to notify from the parsed command line, with the
// defaults for missing switches (COM2, 19200, nobody told).
SwitchesGiven ApplyCommandLine(const SwitchCommandLineInfo& info, JobHost& host);

// The "m" number of the command line when it names a descriptor that the program inherited
// open for writing (a pipe, a socket or a regular file), else 0. Asked at start-up, before the
// program opens a descriptor of its own that the number could name.
int InheritedNotifyDescriptor(const std::vector<std::string>& params);

// What "--help" or "--version" prints on stdout, the first of them that the command line
// holds; nothing when it holds neither (then the window opens).
std::optional<std::string> InfoSwitchText(const std::vector<std::string>& params);

}  // namespace vantor::ui
