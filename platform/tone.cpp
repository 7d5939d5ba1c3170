#include "platform/tone.h"

#include "platform/clock.h"

namespace vantor::platform {

void Tone(int /*hz*/, int ms) {
    Sleep(ms);
}

}  // namespace vantor::platform
