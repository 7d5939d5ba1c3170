#include <algorithm>
#include <array>
#include <cctype>

#include "platform/regular_file.h"

namespace vantor::platform {

bool IsWindowsDeviceName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\:");
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    // Windows reads "COM9.log" and "com9 .txt" as COM9: what comes after the first dot goes,
    // and so do the spaces before it.
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ') {
        name.pop_back();
    }
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    static constexpr std::array<const char*, 4> kNames = {"CON", "PRN", "AUX", "NUL"};
    if (std::find(kNames.begin(), kNames.end(), name) != kNames.end()) {
        return true;
    }
    return name.size() == 4 && (name.rfind("COM", 0) == 0 || name.rfind("LPT", 0) == 0) &&
           name[3] >= '1' && name[3] <= '9';
}

std::string DeviceNameText(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\:");
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    return name + " is a device name on Windows, not a file name; choose another name";
}

}  // namespace vantor::platform
