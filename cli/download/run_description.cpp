#include "cli/download/run_description.h"

#include "cli/console/status_keeper.h"
#include "cli/download/port_address.h"
#include "image/sha256.h"
#include "image/files_list.h"
#include "image/image_reader.h"
#include "job/download_image.h"
#include "platform/window_link.h"

namespace vantor::cli {

RunStart DescribeRun(const DownloadSettings& settings) {
    RunStart start;
    start.command = settings.identify ? "identify" : "download";
    start.port = settings.port;
    start.device = EffectiveAddress(settings.port).value_or("");
    start.baud = settings.baud_choice == 1 ? 19200 : 9600;
    if (settings.identify) {
        return start;
    }
    auto entry = [](const std::string& label, const std::string& path) {
        ImageEntry image{label, path, DigestFile(path), std::nullopt};
        ImageFile file;
        ImageHeader header;
        StatusKeeper reader_status;
        platform::ScopedWindowLink scoped(reader_status);
        if (file.Open(path) &&
            CheckHeader(file, kRevisionNotYetKnown, "", header) == HeaderResult::kAccepted) {
            image.declared_packets = header.PacketCount;
        }
        return image;
    };
    if (settings.files_list.empty()) {
        start.images.push_back(entry("", settings.image));
        return start;
    }
    start.files_list = settings.files_list;
    start.files_list_digest = DigestFile(settings.files_list);
    FilesListFile list;
    std::string line;
    if (list.OpenForJob(settings.files_list)) {
        while (list.ReadLine(line)) {
            const FilesListEntry split = SplitJobLine(line);
            start.images.push_back(entry(split.Name, split.Path));
        }
    }
    return start;
}

}  // namespace vantor::cli
