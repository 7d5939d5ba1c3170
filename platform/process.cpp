// What starting and watching children does the same way on every system; the rest is in
// process_posix.cpp and win/process_win.cpp.
#include "platform/process.h"

#include <algorithm>

namespace vantor::platform {

Result<std::unique_ptr<ChildProcess>> ChildProcess::Start(const ChildOptions& options) {
    if (options.argv.empty()) {
        return Failure{"no program to start"};
    }
    return Spawn(options);
}

bool ChildProcess::Kill() {
    return Signal(kKillSignal);
}

void ProcessWaitSet::Add(ChildProcess& child) {
    if (std::find(children_.begin(), children_.end(), &child) == children_.end()) {
        children_.push_back(&child);
    }
}

void ProcessWaitSet::Remove(ChildProcess& child) {
    std::erase(children_, &child);
}

}  // namespace vantor::platform
