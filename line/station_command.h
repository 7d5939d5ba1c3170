// The command that each station of a line runs in a child process of its own: the command line
// program's download. The line reads and checks that command's options without knowing them;
// the front end that starts the line names them here.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace vantor::line {

struct StationCommand {
    // True when `option` of the station's command takes a value, so that a reader of the
    // arguments can step over it.
    std::function<bool(const std::string& option)> option_takes_value;
    // Succeeds when one station's arguments (those after the command's name) would run; else
    // fails with what is wrong with them, as its usage error would say.
    std::function<Result<void>(const std::vector<std::string>& arguments)> check_usage;
};

}  // namespace vantor::line
