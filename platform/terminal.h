// What the command line program asks of the console it runs in; one source file per system.
#pragma once

#include <cstdio>

namespace vantor::platform {

struct TerminalSize {
    int columns = 0;
    int rows = 0;
};

// The size of the terminal that `stream` writes to, or `fallback` when it is none.
TerminalSize TerminalSizeOf(std::FILE* stream, TerminalSize fallback);
// Its width alone.
int TerminalColumns(std::FILE* stream, int fallback);

// True when `stream` writes to a terminal that takes the cursor and erase sequences the live
// views draw with (on a POSIX system one whose TERM names a kind other than "dumb"); on a Windows
// console this turns its virtual terminal processing on where the console has it. False sends
// plain lines instead.
bool TerminalTakesSequences(std::FILE* stream);
// True when `stream` writes to a terminal, whether or not it takes those sequences: someone
// reads it as it comes.
bool WritesToTerminal(std::FILE* stream);

// A reader of the output that goes away (a pipe into head, say) must not end the program:
// writes to it then fail quietly.
void IgnoreBrokenPipes();
// True when `stream` writes into a pipe whose reader has closed it.
bool ReaderHasGone(std::FILE* stream);

}  // namespace vantor::platform
