#include "cli/download/port_address.h"

#include <cctype>

#include "job/job.h"
#include "link/serial_port.h"
#include "platform/serial/port_map.h"

namespace vantor::cli {

namespace {

// Why the port did not open, as the device said when it refused.
std::string ExplainUnopenablePort(const std::string& port) {
    std::string problem;
    const auto address = EffectiveAddress(port, &problem);
    if (!address) {
        return problem.empty() ? port + " is not a port name the port map knows (COM1 to COM4)"
                               : port + " has no device: " + problem;
    }
    const std::string prefix = *address == port ? "" : port + " stands for " + *address + ": ";
    return prefix + LastPortReport().open_error;
}

}  // namespace

std::optional<int> PortNameIndex(const std::string& port) {
    if (port.size() == 4 && port.compare(0, 3, "COM") == 0 &&
        std::isdigit(static_cast<unsigned char>(port[3]))) {
        return port[3] - '1';
    }
    return std::nullopt;
}

std::optional<std::string> EffectiveAddress(const std::string& port, std::string* problem) {
    if (PortNameIndex(port)) {
        return platform::ResolvePortName(port, problem);
    }
    return port;
}

bool IsSimAddress(const std::string& address) {
    return address == "sim" || address.rfind("sim:", 0) == 0;
}

std::string PortCause(const std::string& port, JobOutcome job, const std::string& status) {
    if (job == JobResult::kPortUnopenable) {
        return ExplainUnopenablePort(port);
    }
    if (job == JobResult::kResyncFailed && LastPortReport().carries_no_breaks) {
        return status +
               ", which the drive's boot loader needs; the drive was left in its command "
               "mode. Use a real serial device, vantor-port-server in front of one, or "
               "ser2net 4.6.4 or newer";
    }
    return "";
}

}  // namespace vantor::cli
