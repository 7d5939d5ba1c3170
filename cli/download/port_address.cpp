#include "cli/download/port_address.h"

#include <cctype>

#include "job/job.h"
#include "platform/serial/port_cause.h"
#include "platform/serial/port_map.h"

namespace vantor::cli {

std::optional<int> PortNameIndex(const std::string& port) {
    if (port.size() == 4 && port.compare(0, 3, "COM") == 0 &&
        std::isdigit(static_cast<unsigned char>(port[3]))) {
        return port[3] - '1';
    }
    return std::nullopt;
}

Result<std::optional<std::string>> EffectiveAddress(const std::string& port) {
    if (PortNameIndex(port)) {
        return platform::ResolvePortName(port);
    }
    return port;
}

bool IsSimAddress(const std::string& address) {
    return address == "sim" || address.rfind("sim:", 0) == 0;
}

std::string PortCause(const std::string& port, JobOutcome job, const std::string& status,
                      const PortReport& report) {
    if (job == JobResult::kPortUnopenable) {
        return platform::UnopenablePortCause(port, report.open_error);
    }
    if (job == JobResult::kResyncFailed && report.carries_no_breaks) {
        return platform::NoBreaksCause(status);
    }
    return "";
}

}  // namespace vantor::cli
