// vantor-cli download: one image, or every line of a files list, through the download job.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "line/station_command.h"
#include "platform/result.h"

namespace vantor::cli {

// Runs `download` on one port, in this process, on the arguments that follow "download" (a
// production line, which runs this in each of its stations, is cli/line/); `line_help` is the
// line's part of the help. Returns the exit status.
int RunDownloadOnOnePort(const std::vector<std::string>& arguments, const char* line_help);
// vantor-cli identify: who is on the line, without an image.
int RunIdentify(const std::vector<std::string>& arguments);
// What is wrong with the arguments of a download, as its usage error would say;
// success when they would run.
Result<void> DownloadUsageProblem(const std::vector<std::string>& arguments);
// The download as the command that each station of a production line runs.
line::StationCommand DownloadStationCommand();

}  // namespace vantor::cli
