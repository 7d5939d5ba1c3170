// Windows tells a controlling program through its window, not through an inherited descriptor:
// the descriptor form of the posts is refused here.
#include "platform/window_link.h"

namespace vantor::platform {

std::string NotifyDescriptorProblem(int fd) {
    if (fd != 0) {
        return "posts through a file descriptor are not available on Windows";
    }
    return {};
}

// Never reached with a descriptor: NotifyDescriptorProblem refuses every one.
Result<void> PostToDescriptor(int, int) {
    return {};
}

}  // namespace vantor::platform
