#include "ui/command_line.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace vantor::ui {

void SwitchCommandLineInfo::ParseParam(const std::string& param, bool is_switch, bool /*is_last*/) {
    if (is_switch) {
        Switches[param] = "TRUE";
        PendingSwitch = param;
    } else if (!PendingSwitch.empty()) {
        Switches[PendingSwitch] = param;
        PendingSwitch.clear();
    }
    // The first plain parameter is the file parameter, whether or not it was a switch's value.
    if (!is_switch && file_name_.empty()) {
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
        const bool is_switch = !param.empty() && param[0] == '-';
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

void ApplyCommandLine(const SwitchCommandLineInfo& info, JobHost& host) {
    host.Options.ImagePath = info.GetFileParameter();
    std::string value;
    host.Options.PortIndex = info.GetSwitch("c", value) ? PortIndexFromSwitch(value) : 1;
    host.Options.BaudChoice = info.GetSwitch("b", value) ? BaudChoiceFromSwitch(value) : 1;
    host.NotifyWindowFd = info.GetSwitch("m", value) ? NotifyWindowFromSwitch(value) : 0;
}

}  // namespace vantor::ui
