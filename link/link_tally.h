// What the link met on the line during a job, for the run's record: which address answered
// and whether anything answered at all. Process-wide, like the current port, and counted only
// by the link's operations on the thread that drives the port.
#pragma once

#include <cstdint>

namespace vantor {

// The ways the activation in command mode fails, each reported with its own status text.
enum class ActivationFailure {
    kNone,
    kSeveralDrives,    // " Error: Detected multiple drives"
    kAddressSilent,    // "Failed to activate Drive at specific address"
    kCommandModeKept,  // "Failed to enable Orrim"
};

struct LinkTally {
    int AnsweredAddress = -1;  // the last command-mode address that answered a probe; -1 none
    int ProbesAnswered = 0;    // probes of an address that got an answer
    int Resyncs = 0;           // resynchronisations begun
    int BreaksAnswered = 0;    // breaks that the drive answered with its own
    std::uint32_t LastSeekAnswered = 0;  // bit N set: address N answered the last seek
    // The first activation failure of the job. A drive left in command mode by it answers the
    // re-activations before the retried resynchronisations out of turn, so the failures that
    // follow it are often its consequences: this one is the cause.
    ActivationFailure FirstFailure = ActivationFailure::kNone;
    // The address it concerns: the one probed in vain, or the drive that stayed in command mode
    // (-1 when no address had answered); for several drives the first that answered.
    int FirstFailureAddress = -1;
    // Bit N set: address N answered a probe of the seek that failed first with several drives.
    std::uint32_t FirstFailureAnswered = 0;
};

LinkTally& CurrentLinkTally();
void ResetLinkTally();
// Keeps `failure` as the job's first activation failure unless one is kept already.
void NoteActivationFailure(ActivationFailure failure, int address,
                           std::uint32_t answered_addresses = 0);

}  // namespace vantor
