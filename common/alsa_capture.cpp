#include "common/alsa_capture.h"

#include <cerrno>

#include "common/log_utils.h"

namespace velantis {

namespace {

int failed(snd_pcm_t** pcm, bool quiet, int code, const char* what, int err) {
    if (!quiet) logF->logger->error("{} ({}, {})", what, snd_strerror(err), err);
    snd_pcm_close(*pcm);
    *pcm = nullptr;
    return code;
}

int configure(snd_pcm_t** pcm, snd_pcm_hw_params_t* params, unsigned int* rate, unsigned int channels, bool quiet) {
    snd_pcm_t* h = *pcm;
    int err = 0;
    if ((err = snd_pcm_hw_params_any(h, params)) < 0) {
        return failed(pcm, quiet, 3, "cannot initialize hardware parameter structure", err);
    }
    if ((err = snd_pcm_hw_params_set_access(h, params, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
        return failed(pcm, quiet, 4, "cannot set access type", err);
    }
    if ((err = snd_pcm_hw_params_set_format(h, params, SND_PCM_FORMAT_S16_LE)) < 0) {
        return failed(pcm, quiet, 5, "cannot set sample format", err);
    }
    if ((err = snd_pcm_hw_params_set_rate_near(h, params, rate, nullptr)) < 0) {
        return failed(pcm, quiet, 6, "cannot set sample rate", err);
    }
    if ((err = snd_pcm_hw_params_set_channels(h, params, channels)) < 0) {
        return failed(pcm, quiet, 7, "cannot set channel count", err);
    }
    if ((err = snd_pcm_hw_params(h, params)) < 0) return failed(pcm, quiet, 8, "cannot set parameters", err);
    if ((err = snd_pcm_prepare(h)) < 0) return failed(pcm, quiet, 9, "cannot prepare audio interface for use", err);
    if ((err = snd_pcm_start(h)) < 0) return failed(pcm, quiet, 13, "cannot start soundcard", err);
    return 0;
}

}  // namespace

int open_capture(snd_pcm_t** pcm, const char* device, unsigned int* rate, unsigned int channels, bool quiet) {
    int err = snd_pcm_open(pcm, device, SND_PCM_STREAM_CAPTURE, 0);
    if (err < 0) {
        *pcm = nullptr;
        if (!quiet) logF->logger->error("cannot open audio device {} ({}, {})", device, snd_strerror(err), err);
        return 1;
    }
    snd_pcm_hw_params_t* params = nullptr;
    if ((err = snd_pcm_hw_params_malloc(&params)) < 0) {
        return failed(pcm, quiet, 2, "cannot allocate hardware parameter structure", err);
    }
    const int code = configure(pcm, params, rate, channels, quiet);
    snd_pcm_hw_params_free(params);
    return code;
}

bool capture_gone(snd_pcm_t* pcm, int err) {
    return err == -ENODEV || err == -EBADFD || snd_pcm_state(pcm) == SND_PCM_STATE_DISCONNECTED;
}

}  // namespace velantis
