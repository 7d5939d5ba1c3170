// vantor-cli ports: what COM1 to COM4 stand for now, and the serial devices present.
#pragma once

#include <string>
#include <vector>

namespace vantor::cli {

int RunPorts(const std::vector<std::string>& arguments);

}  // namespace vantor::cli
