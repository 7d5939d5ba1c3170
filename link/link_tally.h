// What the link met on the line during a job, for the run's record: which address answered
// and whether anything answered at all. Process-wide, like the current port, and counted only
// by the link's operations on the thread that drives the port.
#pragma once

namespace vantor {

struct LinkTally {
    int AnsweredAddress = -1;  // the last command-mode address that answered a probe; -1 none
    int ProbesAnswered = 0;    // probes of an address that got an answer
    int Resyncs = 0;           // resynchronisations begun
    int BreaksAnswered = 0;    // breaks that the drive answered with its own
};

LinkTally& CurrentLinkTally();
void ResetLinkTally();

}  // namespace vantor
