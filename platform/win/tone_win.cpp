// The success tone on Windows: Beep, as the design sounds it.
#include <windows.h>

#include <cstdint>

#include "platform/clock.h"
#include "platform/tone.h"

namespace vantor::platform {

void Tone(int hz, int ms) {
    Clock& clock = ProcessClock();
    if (!clock.IsReal()) {
        Sleep(ms);  // virtual time: no sound, only the tone's duration
        return;
    }
    const std::int64_t start_ns = clock.NowNs();
    // Beep fails at once on a machine without a sound device.
    ::Beep(static_cast<DWORD>(hz), static_cast<DWORD>(ms));
    const std::int64_t left_ns =
        start_ns + static_cast<std::int64_t>(ms) * 1'000'000 - clock.NowNs();
    clock.SleepNs(left_ns);
}

}  // namespace vantor::platform
