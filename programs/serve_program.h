// vantor-cli's serve: the program that has the web front end built in (vantor-serve), started in
// this process's place.
#pragma once

#include <string>
#include <vector>

namespace vantor::cli {

// Replaces this process with vantor-serve, found beside this program or at `installed_relative`
// from its folder, given `arguments` (those after "serve"). Returns only when no vantor-serve can
// be started, with the exit status of the usage error that says where it was looked for.
int StartServeProgram(const std::vector<std::string>& arguments,
                      const std::string& installed_relative);

}  // namespace vantor::cli
