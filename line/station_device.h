// What device a station's port stands for, so that two stations that would open one device under
// two names (COM1 and /dev/ttyS0, a link and its target, two names of one network port) are
// refused before either starts. The system's own: station_device_posix.cpp and
// win/station_device_win.cpp.
#pragma once

#include <string>
#include <vector>

namespace vantor::line {

// Keys for the device behind `port`, found without opening it (stat(), a host name lookup of at
// most two seconds): two ports with a key in common stand for one device. The port's own text is
// always one of them; a "sim" port is its own drive and has no other. Nothing is looked at that a
// station would not open: a port name goes through the port map, an identity through the device
// list.
std::vector<std::string> StationDeviceKeys(const std::string& port);

}  // namespace vantor::line
