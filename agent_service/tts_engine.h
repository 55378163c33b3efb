// Local text-to-speech engine: the sherpa-onnx Kokoro model, with streaming playback on
// ALSA "default" at 24000 Hz.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <future>
#include <mutex>

#include "agent_service/sherpa_onnx_tts.h"

typedef struct _snd_pcm snd_pcm_t;

// Process-wide speech engine. The model loads on a background task (one per server
// start); GenerateAudio waits for the latest load to end and plays each stretch of
// speech from inside the library's progress callback.
class TtsEngine {
public:
    static TtsEngine& Instance();

    // Longest piece of text handed to the library in one call. Its front end recurses once
    // per character, about 0.6 KiB of stack each on top of 80 KiB: a call of some 14,500
    // characters overflows an 8 MiB thread stack, a piece of 500 bytes needs about 0.3 MiB.
    static constexpr std::size_t kPieceBytes = 500;

    // Body of the background load task.
    void LoadModel();
    // Speaks the text, handing it to the library in pieces of at most kPieceBytes; returns
    // when every generated sample has been written to the device, or at once when no model
    // could be loaded.
    void GenerateAudio(const char* text, int sid, float speed);
    // Progress callback handed to sherpa-onnx: converts (clamping to [-1, 1]) and plays.
    static int AudioGeneratedCallback(const float* samples, int n, float progress);
    // Writes 16-bit mono samples, opening the device on first use.
    void playOnDefaultSpeaker(const void* samples, std::size_t size, bool drain);
    // Closes the playback device, if open; the next speech opens it again.
    void closeDefaultSpeaker();

    ~TtsEngine();
    TtsEngine(const TtsEngine&) = delete;
    TtsEngine& operator=(const TtsEngine&) = delete;

    SherpaOnnxOfflineTtsConfig config;
    const SherpaOnnxOfflineTts* tts;
    std::future<void> load_future;
    std::atomic<bool> model_loaded;
    std::mutex load_mutex;
    std::condition_variable load_cv;
    snd_pcm_t* playback_pcm;
    // Under load_mutex: the latest load has ended (true while none was ever started).
    bool load_ended;
    // Held for the whole of a generation; the destructor takes it so the model and the
    // device are never freed under a generation in progress.
    std::mutex generate_mutex;
    bool shut_down;

private:
    TtsEngine();
    // Waits for the latest load to end; true when it produced a model.
    bool waitForModel();
    // One call of the library on a piece of text short enough for its front end.
    void generatePiece(const char* piece, int sid, float speed);
};
