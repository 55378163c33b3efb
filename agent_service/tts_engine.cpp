#include "agent_service/tts_engine.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "agent_service/tts_text.h"
#include "common/log_quote.h"
#include "common/log_utils.h"

namespace {

constexpr unsigned int kPlaybackRate = 24000;

int16_t toPcm16(float sample) {
    // Clamp rather than wrap: a small overshoot must not become a full-scale click.
    if (!(sample == sample)) {
        sample = 0.0f;
    } else if (sample > 1.0f) {
        sample = 1.0f;
    } else if (sample < -1.0f) {
        sample = -1.0f;
    }
    return static_cast<int16_t>(static_cast<int32_t>(sample * 32767.0f));
}

// The default playback device set up for the engine's mono speech; nullptr on failure.
snd_pcm_t* openDefaultSpeaker() {
    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        logF->logger->error("Cannot open ALSA device 'default': {}", snd_strerror(err));
        return nullptr;
    }
    snd_pcm_hw_params_t* params = nullptr;
    err = snd_pcm_hw_params_malloc(&params);
    if (err < 0) {
        logF->logger->error("Cannot set ALSA hw params: {}", snd_strerror(err));
        snd_pcm_close(pcm);
        return nullptr;
    }
    unsigned int rate = kPlaybackRate;
    snd_pcm_hw_params_any(pcm, params);
    snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S16_LE);
    snd_pcm_hw_params_set_channels(pcm, params, 1);
    snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
    err = snd_pcm_hw_params(pcm, params);
    snd_pcm_hw_params_free(params);
    if (err < 0) {
        logF->logger->error("Cannot set ALSA hw params: {}", snd_strerror(err));
        snd_pcm_close(pcm);
        return nullptr;
    }
    snd_pcm_prepare(pcm);
    logF->logger->info("ALSA audio device initialized successfully at {} Hz", rate);
    return pcm;
}

// Writes every frame; one underrun is recovered, any other error ends the write.
void writeFrames(snd_pcm_t* pcm, const int16_t* data, snd_pcm_uframes_t left) {
    bool retried = false;
    while (left > 0) {
        snd_pcm_sframes_t written = snd_pcm_writei(pcm, data, left);
        if (written == -EPIPE && !retried) {
            logF->logger->warn("ALSA buffer underrun, preparing device...");
            snd_pcm_prepare(pcm);
            retried = true;
            continue;
        }
        if (written < 0) {
            logF->logger->error("Failed to write audio data to ALSA: {}", snd_strerror(static_cast<int>(written)));
            return;
        }
        // A short write (a signal in blocking mode) goes on with the rest.
        data += written;
        left -= static_cast<snd_pcm_uframes_t>(written);
    }
}

}  // namespace

TtsEngine::TtsEngine() : tts(nullptr), model_loaded(false), playback_pcm(nullptr), load_ended(true), shut_down(false) {
    std::memset(&config, 0, sizeof(config));
}

TtsEngine& TtsEngine::Instance() {
    static TtsEngine engine;
    return engine;
}

TtsEngine::~TtsEngine() {
    if (load_future.valid()) {
        load_future.wait();
    }
    std::lock_guard<std::mutex> generating(generate_mutex);
    shut_down = true;
    if (tts != nullptr) {
        SherpaOnnxDestroyOfflineTts(tts);
        tts = nullptr;
    }
    closeDefaultSpeaker();
}

void TtsEngine::LoadModel() {
    const SherpaOnnxOfflineTts* created = nullptr;
    try {
        created = SherpaOnnxCreateOfflineTts(&config);
    } catch (const std::exception& e) {
        // The library throws on some unreadable or corrupt files: a failed load all the same.
        logF->logger->error("Exception while loading TTS model: {}", e.what());
        created = nullptr;
    } catch (...) {
        logF->logger->error("Exception while loading TTS model: unknown");
        created = nullptr;
    }
    tts = created;

    std::lock_guard<std::mutex> lock(load_mutex);
    if (tts != nullptr) {
        model_loaded = true;
        logF->logger->info("TTS model loaded successfully.");
    } else {
        logF->logger->error("Failed to load TTS model.");
    }
    load_ended = true;
    load_cv.notify_all();
}

bool TtsEngine::waitForModel() {
    std::unique_lock<std::mutex> lock(load_mutex);
    if (!model_loaded) {
        logF->logger->info("Waiting for TTS model to be loaded...");
        load_cv.wait(lock, [this] { return load_ended; });
    }
    return model_loaded;
}

void TtsEngine::GenerateAudio(const char* text, int sid, float speed) {
    if (!waitForModel()) {
        logF->logger->error("TTS model is not loaded yet. Cannot generate audio.");
        return;
    }
    std::lock_guard<std::mutex> generating(generate_mutex);
    if (shut_down || tts == nullptr) {
        logF->logger->error("TTS model is not loaded yet. Cannot generate audio.");
        return;
    }
    const std::string_view whole(text);
    logF->logger->info("Generating audio for text: '{}', sid: {}, speed: {}", logQuote(whole), sid, speed);
    const std::vector<std::string> pieces = velantis::splitIntoPieces(whole, kPieceBytes);
    if (pieces.size() > 1) {
        logF->logger->info("Speaking a text of {} bytes in {} pieces", whole.size(), pieces.size());
    }
    for (const std::string& piece : pieces) {
        generatePiece(piece.c_str(), sid, speed);
    }
    logF->logger->info("Finished audio generation for text: '{}'", logQuote(whole));
}

void TtsEngine::generatePiece(const char* piece, int sid, float speed) {
    const SherpaOnnxGeneratedAudio* audio = nullptr;
    try {
        audio = SherpaOnnxOfflineTtsGenerateWithProgressCallback(tts, piece, sid, speed,
                                                                 &TtsEngine::AudioGeneratedCallback);
    } catch (const std::exception& e) {
        logF->logger->error("TTS generation failed: {}", e.what());
    } catch (...) {
        logF->logger->error("TTS generation failed: unknown exception");
    }
    // Already played stretch by stretch: free unread (null when nothing was speakable).
    SherpaOnnxDestroyOfflineTtsGeneratedAudio(audio);
}

int TtsEngine::AudioGeneratedCallback(const float* samples, int n, float progress) {
    if (n < 1 || samples == nullptr) {
        return 1;
    }
    std::vector<int16_t> pcm(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        pcm[static_cast<std::size_t>(i)] = toPcm16(samples[i]);
    }
    TtsEngine::Instance().playOnDefaultSpeaker(pcm.data(), pcm.size() * sizeof(int16_t), false);
    return 1;
}

void TtsEngine::playOnDefaultSpeaker(const void* samples, std::size_t size, bool drain) {
    if (playback_pcm == nullptr) {
        playback_pcm = openDefaultSpeaker();
        if (playback_pcm == nullptr) return;
    }
    if (samples != nullptr && size > 0) {
        writeFrames(playback_pcm, static_cast<const int16_t*>(samples), size / sizeof(int16_t));
    }
    if (drain) {
        snd_pcm_drain(playback_pcm);
        logF->logger->info("Audio playback drained.");
    }
}

void TtsEngine::closeDefaultSpeaker() {
    if (playback_pcm == nullptr) return;
    snd_pcm_close(playback_pcm);
    playback_pcm = nullptr;
    logF->logger->info("ALSA audio device closed.");
}
