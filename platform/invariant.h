// Invariant checks that stay on in every build, tests and release alike: a broken invariant
// stops the program at once with its place and condition, instead of letting it go on and
// corrupt a queue, a packet or an image silently. The conditions are kept cheap, since they run
// on every byte's path.
#pragma once

namespace vantor::platform {

// Prints "invariant broken" with the place and the condition on stderr and aborts.
[[noreturn]] void InvariantBroken(const char* condition, const char* file, int line);

}  // namespace vantor::platform

#define VANTOR_ASSERT(condition)        \
    ((condition) ? static_cast<void>(0) \
                 : ::vantor::platform::InvariantBroken(#condition, __FILE__, __LINE__))
