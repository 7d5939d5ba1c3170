// The command channel's language, for test equipment (ATE sequencers): one command a line, one
// answer a line. START n [SERIAL] [operator=NAME] [order=TEXT], WAIT n [SECONDS], STATUS [n],
// STOP n, HELP, QUIT; every answer begins with OK, RESULT, TIMEOUT, STATUS, BYE or ERR.
#pragma once

#include <string>

#include "serve/line_control.h"

namespace vantor::serve {

// Waits of WAIT at most, and the one it waits when it names none.
inline constexpr long kMostAteWaitSeconds = 300;

struct AteAnswer {
    std::string line;    // without its line end
    bool close = false;  // the connection ends after it (QUIT)
};

// The answer to one command line (without its line end). `require_serial`: serve
// --require-unit-serial. `most_waiting`: waits on runs at once, HTTP's included.
AteAnswer AnswerAteCommand(LineControl& control, const std::string& line, bool require_serial,
                           std::size_t most_waiting);

}  // namespace vantor::serve
