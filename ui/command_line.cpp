#include "ui/command_line.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace vantor::ui {

namespace {

// Only Windows takes "/" for a switch too: elsewhere every absolute path begins with it.
#ifdef _WIN32
constexpr bool kSlashStartsSwitch = true;
#else
constexpr bool kSlashStartsSwitch = false;
#endif

constexpr const char* kUsageText =
    "Usage: vantor [IMAGE] [-c COMn] [-b SPEED] [-m FD]\n"
    "Downloads firmware images to a drive over a serial line, in a window.\n"
    "\n"
    "  IMAGE      one image to download, after which the program ends; without it\n"
    "             the files list is downloaded\n"
    "  -c COMn    the port, COM1 to COM4 (default COM2)\n"
    "  -b SPEED   9600 selects 9600 baud; any other value, or no -b, 19200\n"
    "  -m FD      an inherited descriptor told of the outcome: 1034 when the window\n"
    "             is closed, 1035 when the single image has been downloaded\n"
    "  -h, --help this text\n"
    "  --version  the program's version\n"
    "\n"
    "A -c or -b switch wins over the choice stored from an earlier run. Qt's own\n"
    "options (-style NAME, -platform NAME) are taken too.\n";

}  // namespace

void SwitchCommandLineInfo::ParseParam(const std::string& param, bool is_switch, bool /*is_last*/) {
    if (is_switch) {
        Switches[param] = "TRUE";
        PendingSwitch = param;
        return;
    }
    if (!PendingSwitch.empty()) {
        // The value of the switch before it, never the image: "-c COM1 -b 19200" chooses a
        // port and a speed for the files list.
        Switches[PendingSwitch] = param;
        PendingSwitch.clear();
        return;
    }
    if (file_name_.empty()) {
        file_name_ = param;
    }
}

bool SwitchCommandLineInfo::GetSwitch(const std::string& name, std::string& value) const {
    const auto found = Switches.find(name);
    if (found == Switches.end()) {
        return false;
    }
    value = found->second;
    return true;
}

void ParseCommandLine(const std::vector<std::string>& params, SwitchCommandLineInfo& info) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string& param = params[i];
        const bool is_switch =
            !param.empty() && (param[0] == '-' || (kSlashStartsSwitch && param[0] == '/'));
        info.ParseParam(is_switch ? param.substr(1) : param, is_switch, i + 1 == params.size());
    }
}

int PortIndexFromSwitch(const std::string& value) {
    if (value.size() < 4) {
        return -1;
    }
    return static_cast<signed char>(value[3]) - '1';
}

int BaudChoiceFromSwitch(const std::string& value) {
    return value == "9600" ? 0 : 1;
}

int NotifyWindowFromSwitch(const std::string& value) {
    std::size_t i = 0;
    while (i < value.size() && std::isspace(static_cast<unsigned char>(value[i])) != 0) {
        ++i;
    }
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    // A number too large for an int stops growing at the limit rather than wrapping round.
    long long number = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        number = std::min<long long>(number * 10 + (value[i] - '0'), 1LL + INT_MAX);
    }
    if (negative) {
        return static_cast<int>(std::max<long long>(-number, INT_MIN));
    }
    return static_cast<int>(std::min<long long>(number, INT_MAX));
}

SwitchesGiven ApplyCommandLine(const SwitchCommandLineInfo& info, JobHost& host) {
    SwitchesGiven given;
    host.Options.ImagePath = info.GetFileParameter();
    std::string value;
    given.port = info.GetSwitch("c", value);
    host.Options.PortIndex = given.port ? PortIndexFromSwitch(value) : 1;
    given.baud = info.GetSwitch("b", value);
    host.Options.BaudChoice = given.baud ? BaudChoiceFromSwitch(value) : 1;
    host.NotifyWindowFd = info.GetSwitch("m", value) ? NotifyWindowFromSwitch(value) : 0;
    return given;
}

std::optional<std::string> InfoSwitchText(const std::vector<std::string>& params) {
    for (const std::string& param : params) {
        if (param == "--help" || param == "-h") {
            return std::string(kUsageText);
        }
        if (param == "--version") {
            return std::string("vantor " VANTOR_VERSION_TEXT "\n");
        }
    }
    return std::nullopt;
}

}  // namespace vantor::ui
