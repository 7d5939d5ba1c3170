#include "link/link_tally.h"

namespace vantor {

namespace {

LinkTally g_tally;

}  // namespace

LinkTally& CurrentLinkTally() {
    return g_tally;
}

void ResetLinkTally() {
    g_tally = LinkTally{};
}

void NoteActivationFailure(ActivationFailure failure, int address,
                           std::uint32_t answered_addresses) {
    if (g_tally.FirstFailure != ActivationFailure::kNone) {
        return;
    }
    g_tally.FirstFailure = failure;
    g_tally.FirstFailureAddress = address;
    g_tally.FirstFailureAnswered = answered_addresses;
}

}  // namespace vantor
