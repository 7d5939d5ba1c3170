// What a run was given, for its record's start event: the image, or the files list and every
// line's image, with their sizes, hashes and declared packet counts.
#pragma once

#include "cli/download/download_settings.h"
#include "cli/record/run_record.h"

namespace vantor::cli {

// Reads the images of the run. A list that cannot be read gives no line here; the checks before
// the port say why.
RunStart DescribeRun(const DownloadSettings& settings);

}  // namespace vantor::cli
