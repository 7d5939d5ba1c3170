// A listening TCP socket for serve's front doors (the web side and the command channel).
#pragma once

#include <string>

#include "platform/result.h"

namespace vantor::serve {

// A non-blocking socket listening on `host` (an address, or a name the system resolves) and
// `port`, with room for `backlog` connections not yet taken; or why there is none, in the
// operator's words.
Result<int> ListenOn(const std::string& host, int port, int backlog);

}  // namespace vantor::serve
