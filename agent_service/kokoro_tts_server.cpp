#include "agent_service/kokoro_tts_server.h"

#include <cmath>
#include <cstring>
#include <future>
#include <mutex>
#include <string>

#include "agent_service/tts_engine.h"
#include "common/log_utils.h"
#include "common/utf8.h"

namespace {

constexpr const char* kTtsSocketPath = "/tmp/velantis_tts.sock";
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

}  // namespace

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
    TtsEngine::Instance().closeDefaultSpeaker();
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
