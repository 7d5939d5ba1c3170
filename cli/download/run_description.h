// What a run was given, for its record: the machine, the port and the device it stands for (with
// its adapter's USB serial number), the image, or the files list and every line's image, with
// their sizes, hashes and declared packet counts.
#pragma once

#include "cli/download/download_settings.h"
#include "records/files_list_taken.h"
#include "records/run_record.h"

namespace vantor::cli {

// Reads the images of the run: the IMAGE, or those of the lines of `list`, the files list as the
// run took it. A list that cannot be read gives no line here; the checks before the port say why.
records::RunStart DescribeRun(const DownloadSettings& settings,
                              const records::TakenFilesList& list);
// The images alone: the one `image`, or every line of `files_list` when that is given.
void DescribeImages(const std::string& image, const std::string& files_list,
                    records::RunStart& start);
// The files list's images alone, as `list` holds its lines.
void DescribeListImages(const records::TakenFilesList& list, records::RunStart& start);

}  // namespace vantor::cli
