// vantor-cli image-info: what an image file holds and whether it would download whole, found
// without a drive and without message boxes.
#pragma once

#include <string>
#include <vector>

#include "platform/program_options.h"

namespace vantor::cli {

// The options of image-info, which the tests hold to its help, the completions and the manual page.
platform::OptionTable ImageInfoOptions();

// Runs the command on the arguments that follow "image-info"; returns the exit status: 0 for
// a file that would download whole, else the download's own status for the same fault (102
// unopenable, 105 checksum, 106 revision or end of file, 107 to 109 header, 102 BOP word, 104
// packet too long).
int RunImageInfo(const std::vector<std::string>& arguments);

}  // namespace vantor::cli
