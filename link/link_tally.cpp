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

}  // namespace vantor
