// The "m" switch on systems where the controlling program hands down a descriptor.
#include <fcntl.h>
#include <sys/stat.h>

#include "ui/command_line.h"

namespace vantor::ui {

int InheritedNotifyDescriptor(const std::vector<std::string>& params) {
    SwitchCommandLineInfo info;
    ParseCommandLine(params, info);
    std::string value;
    const int fd = info.GetSwitch("m", value) ? NotifyWindowFromSwitch(value) : 0;
    if (fd <= 0) {
        return 0;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_ACCMODE) != O_WRONLY && (flags & O_ACCMODE) != O_RDWR)) {
        return 0;
    }
    // A terminal or another device is no controlling program's channel; a post into it would
    // write into a session the operator is using.
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return 0;
    }
    const bool channel =
        S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISREG(status.st_mode);
    return channel ? fd : 0;
}

}  // namespace vantor::ui
