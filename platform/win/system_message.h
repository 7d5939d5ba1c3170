// The system's own sentence for a Windows error code, as the messages of this program quote it.
#pragma once

#include <string>

namespace vantor::platform {

// The text FormatMessage gives for `error` (a GetLastError value), without its line end or final
// full stop; "error N" when the system has none.
std::string SystemMessage(unsigned long error);

}  // namespace vantor::platform
