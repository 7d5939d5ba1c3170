#include <windows.h>

#include <algorithm>
#include <cctype>

#include "platform/win/wine_port.h"

namespace vantor::platform {

namespace {

// Wine's ntdll exports its version; Windows' does not.
bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

bool WinePortIsPseudoTerminal(const std::string& path) {
    if (!UnderWine()) {
        return false;
    }
    std::string name = path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    // The mapped path is short; one longer than this buffer is no pseudo terminal's.
    char mapped[MAX_PATH] = {};
    DWORD size = sizeof(mapped);
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Wine\\Ports", name.c_str(), RRF_RT_REG_SZ,
                       nullptr, mapped, &size) != ERROR_SUCCESS) {
        return false;  // Wine's own choice, /dev/ttyS*: a real port, or none
    }
    return std::string(mapped).rfind("/dev/pts/", 0) == 0;
}

}  // namespace vantor::platform
