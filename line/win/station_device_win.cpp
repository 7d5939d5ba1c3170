// Windows runs no production line (station_process_win.cpp): a port is known by its text.
#include "line/station_device.h"

namespace vantor::line {

std::vector<std::string> StationDeviceKeys(const std::string& port) {
    return {"text:" + port};
}

}  // namespace vantor::line
