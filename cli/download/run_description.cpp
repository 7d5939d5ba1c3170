#include "cli/download/run_description.h"

#include "cli/console/status_keeper.h"
#include "cli/download/port_address.h"
#include "image/files_list.h"
#include "image/image_reader.h"
#include "image/sha256.h"
#include "job/download_image.h"
#include "platform/serial/serial_devices.h"
#include "platform/window_link.h"
#include "records/log_file.h"

namespace vantor::cli {

namespace {

records::ImageEntry DescribeImage(const std::string& label, const std::string& path) {
    records::ImageEntry image{label, path, DigestFile(path), std::nullopt};
    ImageFile file;
    ImageHeader header;
    StatusKeeper reader_status;
    platform::ScopedWindowLink scoped(reader_status);
    // Only the header is read here: the file is not held in memory for it.
    if (file.Open(path, 0) &&
        CheckHeader(file, kRevisionNotYetKnown, "", header) == HeaderResult::kAccepted) {
        image.declared_packets = header.PacketCount;
    }
    return image;
}

// The USB serial number of the adapter behind `device`, as the ports listing shows it; empty for
// the simulated drive, a network port or a device that is not a USB adapter.
std::string UsbSerialOf(const std::string& device) {
    if (device.empty() || IsSimAddress(device) || !platform::IsSystemDeviceAddress(device) ||
        device.rfind("rfc2217://", 0) == 0) {
        return "";
    }
    for (const platform::SerialDeviceEntry& entry : platform::ListSerialDevices()) {
        bool named = entry.path == device;
        for (const std::string& link : entry.by_id) {
            named = named || link == device;
        }
        if (named) {
            return entry.serial;
        }
    }
    return "";
}

}  // namespace

void DescribeListImages(const records::TakenFilesList& list, records::RunStart& start) {
    start.files_list = list.path;
    start.files_list_digest = list.digest;
    for (const std::string& line : list.lines) {
        const FilesListEntry split = SplitJobLine(line);
        start.images.push_back(DescribeImage(split.Name, split.Path));
    }
}

void DescribeImages(const std::string& image, const std::string& files_list,
                    records::RunStart& start) {
    if (files_list.empty()) {
        start.images.push_back(DescribeImage("", image));
        return;
    }
    DescribeListImages(records::TakeFilesList(files_list), start);
}

records::RunStart DescribeRun(const DownloadSettings& settings,
                              const records::TakenFilesList& list) {
    records::RunStart start;
    start.command = settings.identify ? "identify" : "download";
    start.host = records::HostName();
    start.port = settings.port;
    start.port_source = ChoiceSourceName(settings.port_source);
    start.baud_source = ChoiceSourceName(settings.baud_source);
    start.device = EffectiveAddress(settings.port).ValueOr(std::nullopt).value_or("");
    start.usb_serial = UsbSerialOf(start.device);
    start.baud = settings.baud_choice == 1 ? 19200 : 9600;
    start.unit = settings.unit;
    if (!settings.identify && settings.files_list.empty()) {
        start.images.push_back(DescribeImage("", settings.image));
    } else if (!settings.identify) {
        DescribeListImages(list, start);
    }
    return start;
}

}  // namespace vantor::cli
