// The command that each station of a line runs in a child process of its own: the command line
// program's download. The line reads and checks that command's options without knowing them;
// the front end that starts the line names them here.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vantor::line {

struct StationCommand {
    // True when `option` of the station's command takes a value, so that a reader of the
    // arguments can step over it.
    std::function<bool(const std::string& option)> option_takes_value;
    // What is wrong with one station's arguments (those after the command's name), as its
    // usage error would say; nothing when they would run.
    std::function<std::optional<std::string>(const std::vector<std::string>& arguments)>
        usage_problem;
};

}  // namespace vantor::line
