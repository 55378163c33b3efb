// The ALSA "default" device opened as the agent opens its own: mono S16_LE at `rate`, the
// device's own buffer and period sizes.
#pragma once

#include <alsa/asoundlib.h>

namespace bench {

// Null (and nothing left open) on failure.
inline snd_pcm_t* openPcm(snd_pcm_stream_t stream, unsigned int rate) {
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", stream, 0) < 0) return nullptr;
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    if (snd_pcm_hw_params_any(pcm, params) < 0 ||
        snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S16_LE) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, params, 1) < 0 ||
        snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr) < 0 || snd_pcm_hw_params(pcm, params) < 0) {
        snd_pcm_close(pcm);
        return nullptr;
    }
    return pcm;
}

}  // namespace bench
