// What can be known of a comm port that Wine stands in for: Wine maps each COM name to a Unix
// device (HKLM\Software\Wine\Ports, else /dev/ttyS0 for COM1 and so on). On Windows itself none
// of this is known.
#pragma once

#include <string>

namespace vantor::platform {

// True when the program runs under Wine and the comm port `path` (COM9 or \\.\COM9) is mapped
// to the terminal side of a pseudo terminal (/dev/pts/N), which takes a break but never hands
// it to its other side. Only the mapping is read, never the device; a mapping to a link that
// leads to a pseudo terminal is not followed, and counts as a real port.
bool WinePortIsPseudoTerminal(const std::string& path);

}  // namespace vantor::platform
