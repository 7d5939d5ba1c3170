// What the runs of cli_runner.h share with the system's own ones (cli_runner_posix.cpp,
// cli_runner_win.cpp).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/cli_runner.h"
#include "platform/process.h"

namespace vantor::test {

// When a child that has not ended is taken as hung.
platform::ProcessDeadline ChildDeadline();

// Starts vantor-cli with stdin on the null device, stdout and stderr as given, and the settings
// store moved out of the way; through `launcher` (a program and its arguments that runs the rest)
// when one is given.
std::unique_ptr<platform::ChildProcess> StartCli(const std::vector<std::string>& arguments,
                                                 platform::ChildStream out,
                                                 platform::ChildStream err,
                                                 const std::string& registry_path,
                                                 const std::vector<std::string>& launcher = {},
                                                 const CliSetup& setup = {});

// The exit status; -1 when the child did not exit normally (or was killed at the deadline).
int StatusOf(const platform::ChildExit& exit);

}  // namespace vantor::test
