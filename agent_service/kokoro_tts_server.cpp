#include "agent_service/kokoro_tts_server.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "common/log_quote.h"
#include "common/log_utils.h"
#include "common/utf8.h"

namespace {

constexpr const char* kTtsSocketPath = "/tmp/velantis_tts.sock";
constexpr unsigned int kPlaybackRate = 24000;
// Speech length grows as 1 / speed: slower than this would hold the server and its
// memory for an unbounded time.
constexpr float kMinSpeed = 0.1f;

// The configuration keeps only pointers: these live as long as the process.
constexpr const char* kModel = "./kokoro-multi-lang-v1_1/model.onnx";
constexpr const char* kVoices = "./kokoro-multi-lang-v1_1/voices.bin";
constexpr const char* kTokens = "./kokoro-multi-lang-v1_1/tokens.txt";
constexpr const char* kDataDir = "./kokoro-multi-lang-v1_1/espeak-ng-data";
constexpr const char* kDictDir = "./kokoro-multi-lang-v1_1/dict";
constexpr const char* kLexicons = "./kokoro-multi-lang-v1_1/lexicon-us-en.txt,./kokoro-multi-lang-v1_1/lexicon-zh.txt";
constexpr const char* kRuleFsts = "./kokoro-multi-lang-v1_1/date-zh.fst,./kokoro-multi-lang-v1_1/number-zh.fst";

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

bool oneOf(std::string_view c, std::initializer_list<std::string_view> set) {
    return std::find(set.begin(), set.end(), c) != set.end();
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Where the piece that begins at `start` ends: the rest of the text when it fits in
// kPieceBytes; else the last cut within them after sentence punctuation, else after clause
// punctuation, else after a space, else at the last character boundary. ASCII punctuation
// counts only before a space, so that "3.14" or "1,000" stay whole.
std::size_t pieceEnd(std::string_view text, std::size_t start) {
    const std::size_t limit = start + TtsEngine::kPieceBytes;
    if (text.size() <= limit) return text.size();
    std::size_t sentence = 0, clause = 0, space = 0, at = start;
    for (;;) {
        const std::size_t next = at + velantis::utf8SequenceAt(text, at).length;
        if (next > limit) break;
        const std::string_view c = text.substr(at, next - at);
        const bool spaced = isSpace(text[next]);  // next <= limit < size
        if (oneOf(c, {"\u3002", "\uFF01", "\uFF1F", "\u2026"}) || (spaced && oneOf(c, {".", "!", "?"}))) {
            sentence = next;
        } else if (oneOf(c, {"\uFF0C", "\uFF1B", "\uFF1A", "\u3001", "\u2014"}) ||
                   (spaced && oneOf(c, {",", ";", ":"}))) {
            clause = next;
        } else if (isSpace(c[0])) {
            space = next;
        }
        at = next;
    }
    for (std::size_t cut : {sentence, clause, space}) {
        if (cut > start) return cut;
    }
    return at;
}

// The text in pieces for the library, in order; pieces of nothing but spaces are left out.
std::vector<std::string> splitIntoPieces(std::string_view text) {
    std::vector<std::string> pieces;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = pieceEnd(text, start);
        const std::string_view piece = text.substr(start, end - start);
        if (!std::all_of(piece.begin(), piece.end(), isSpace)) pieces.emplace_back(piece);
        start = end;
    }
    return pieces;
}

}  // namespace

// ---------------------------------------------------------------------------
// TtsEngine

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
    if (playback_pcm != nullptr) {
        snd_pcm_close(playback_pcm);
        playback_pcm = nullptr;
        logF->logger->info("ALSA audio device closed.");
    }
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
    const std::vector<std::string> pieces = splitIntoPieces(whole);
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

namespace {

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

// ---------------------------------------------------------------------------
// KokoroTtsServer

KokoroTtsServer::KokoroTtsServer() : UnixDomainSocketServer(kTtsSocketPath) {
    logF->logger->info("Initializing Kokoro TTS Server...");
}

KokoroTtsServer::~KokoroTtsServer() = default;

bool KokoroTtsServer::onInit() {
    TtsEngine& engine = TtsEngine::Instance();

    // Each start loads afresh: let an earlier load end, then drop its model so this
    // start's requests wait for this start's own load.
    if (engine.load_future.valid()) {
        engine.load_future.wait();
    }
    {
        std::lock_guard<std::mutex> generating(engine.generate_mutex);
        std::lock_guard<std::mutex> lock(engine.load_mutex);
        if (engine.tts != nullptr) {
            SherpaOnnxDestroyOfflineTts(engine.tts);
            engine.tts = nullptr;
        }
        engine.model_loaded = false;
        engine.load_ended = false;
    }

    std::memset(&engine.config, 0, sizeof(engine.config));
    engine.config.model.num_threads = 8;
    engine.config.model.kokoro.model = kModel;
    engine.config.model.kokoro.voices = kVoices;
    engine.config.model.kokoro.tokens = kTokens;
    engine.config.model.kokoro.data_dir = kDataDir;
    engine.config.model.kokoro.dict_dir = kDictDir;
    engine.config.model.kokoro.lexicon = kLexicons;
    engine.config.rule_fsts = kRuleFsts;

    logF->logger->info("Starting to load TTS model in the background...");
    try {
        engine.load_future = std::async(std::launch::async, &TtsEngine::LoadModel, &engine);
    } catch (...) {
        // No load runs: record its end so that nothing waits for it.
        std::lock_guard<std::mutex> lock(engine.load_mutex);
        engine.load_ended = true;
        engine.load_cv.notify_all();
        throw;
    }
    return true;
}

void KokoroTtsServer::onCleanup() {
    TtsEngine& engine = TtsEngine::Instance();
    if (engine.playback_pcm != nullptr) {
        snd_pcm_close(engine.playback_pcm);
        engine.playback_pcm = nullptr;
        logF->logger->info("ALSA audio device closed.");
    }
    logF->logger->info("Kokoro TTS Server cleaned up resources.");
}

void KokoroTtsServer::handleClientMessage(int client_fd, const velantis::MessageHeader& header,
                                          const std::vector<uint8_t>& payload) {
    if (header.type != TTS_REQUEST) {
        logF->logger->warn("Received an unknown message type ({}) from client fd={}", header.type, client_fd);
        return;
    }
    if (payload.size() < sizeof(TtsRequestPayload)) {
        logF->logger->warn("Received a malformed TTS_REQUEST (too small) from client fd={}", client_fd);
        return;
    }
    TtsRequestPayload request;
    std::memcpy(&request, payload.data(), sizeof(request));
    const std::size_t expected = sizeof(TtsRequestPayload) + request.text_length;
    if (expected > payload.size()) {
        logF->logger->warn("Received TTS_REQUEST with incorrect size. Expected: {}, Got: {}. From fd={}", expected,
                           payload.size(), client_fd);
        return;
    }
    const float speed = request.speed;
    if (!std::isfinite(speed) || speed < kMinSpeed) {
        logF->logger->warn("Received TTS_REQUEST with unusable speed {} from fd={}: nothing spoken", speed, client_fd);
        sendAck(client_fd, header.id);
        return;
    }
    // The text ends at its first NUL, if any.
    const char* bytes = reinterpret_cast<const char*>(payload.data()) + sizeof(TtsRequestPayload);
    std::string text(bytes, strnlen(bytes, request.text_length));
    const std::size_t replaced = velantis::replaceInvalidUtf8(text);
    if (replaced > 0) {
        logF->logger->warn("Replaced {} bytes of invalid UTF-8 with U+FFFD in the text from fd={}", replaced,
                           client_fd);
    }
    TtsEngine::Instance().GenerateAudio(text.c_str(), request.sid, speed);
    sendAck(client_fd, header.id);
}

void KokoroTtsServer::sendAck(int client_fd, uint64_t id) {
    sendMessage(client_fd, velantis::makeMessageHeader(TTS_ACK, 0, id), nullptr);
}
