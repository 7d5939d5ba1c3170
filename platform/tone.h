// The success tone.
#pragma once

namespace vantor::platform {

// Sounds `hz` for `ms` milliseconds through the sound system when one can be opened, else
// stays silent. Either way it returns only after `ms` milliseconds on the process clock; under
// a virtual clock it only moves time on.
void Tone(int hz, int ms);

}  // namespace vantor::platform
