// Which device a --port names: a port name (COM1 to COM4 through the port map), or a device
// address given as it is; and what the port knew of a failure that its status text does not say.
#pragma once

#include <optional>
#include <string>

#include "job/job.h"
#include "platform/result.h"

namespace vantor::cli {

// "COM0" to "COM9" are port names; the job can only name COM1 to COM4 through the map, and
// every other one fails to open, as the design's port names do. The index from 0, or nothing
// for a device address.
std::optional<int> PortNameIndex(const std::string& port);

// The device address the job will open, or nothing when the port map knows none; a failure
// says why the stored map could not be read.
Result<std::optional<std::string>> EffectiveAddress(const std::string& port);

// "sim" or "sim:OPTIONS": the built-in simulated drive.
bool IsSimAddress(const std::string& address);

// The cause of a failure that the port knows better than the status line (`status`), from what
// the port told of itself in the job's record (`report`); empty otherwise.
std::string PortCause(const std::string& port, JobOutcome job, const std::string& status,
                      const PortReport& report);

}  // namespace vantor::cli
