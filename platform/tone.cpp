#include "platform/tone.h"

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "platform/clock.h"

#if VANTOR_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

namespace vantor::platform {

namespace {

#if VANTOR_HAVE_ALSA

constexpr unsigned kSampleRate = 8000;
constexpr unsigned kLatencyUs = 100'000;

// ALSA prints its own complaints (no card, no configuration) to stderr; a machine without
// sound is normal here, so they are dropped.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

// Plays a sine of `hz` for `ms` through the default sound device; false when none opens.
bool PlayThroughAlsa(int hz, int ms) {
    snd_lib_error_set_handler(&QuietAlsaErrors);
    snd_pcm_t* pcm = nullptr;
    // Opened without blocking so that a busy device fails at once instead of waiting.
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        return false;
    }
    bool played = false;
    if (snd_pcm_nonblock(pcm, 0) == 0 &&
        snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                           kSampleRate, 1, kLatencyUs) == 0) {
        const std::size_t frames = static_cast<std::size_t>(kSampleRate) * ms / 1000;
        std::vector<std::int16_t> samples(frames);
        const double step = 2.0 * std::numbers::pi * hz / kSampleRate;
        for (std::size_t i = 0; i < frames; ++i) {
            samples[i] =
                static_cast<std::int16_t>(8000.0 * std::sin(step * static_cast<double>(i)));
        }
        std::size_t done = 0;
        while (done < frames) {
            const snd_pcm_sframes_t n = snd_pcm_writei(pcm, samples.data() + done, frames - done);
            if (n < 0 && snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) {
                break;
            }
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        snd_pcm_drain(pcm);
        played = done == frames;
    }
    snd_pcm_close(pcm);
    return played;
}

#else

bool PlayThroughAlsa(int, int) {
    return false;
}

#endif

}  // namespace

void Tone(int hz, int ms) {
    Clock& clock = ProcessClock();
    if (!clock.IsReal()) {
        Sleep(ms);  // virtual time: no sound, only the tone's duration
        return;
    }
    const std::int64_t start_ns = clock.NowNs();
    PlayThroughAlsa(hz, ms);
    // Whatever the sound system did, the tone takes its full duration.
    const std::int64_t left_ns =
        start_ns + static_cast<std::int64_t>(ms) * 1'000'000 - clock.NowNs();
    clock.SleepNs(left_ns);
}

}  // namespace vantor::platform
