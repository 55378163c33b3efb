// The text-to-speech server and engine through "/tmp/velantis_tts.sock", the real
// sherpa-onnx library, the synthetic Kokoro-format model and the paced ALSA test device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <tuple>

#include "agent_service/kokoro_tts_server.h"
#include "agent_service/tts_engine.h"
#include "tests/agent_service/service_test_util.h"
#include "tests/rig/alsa/alsa_test_device.h"
#include "tests/rig/kokoro/kokoro_rig.h"
#include "tests/support/framed_client.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace test_support;
using namespace std::chrono_literals;
using std::chrono::milliseconds;

constexpr const char* kSocket = "/tmp/velantis_tts.sock";

using service_test::ttsRequest;

class TtsServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        log = &processLog();
        root = std::make_unique<TempDir>("speech-tts");
        speaker = root->path() + "/speaker_24000.raw";
        alsa_rig::useTestDevice("", root->path() + "/speaker_%r.raw");

        // Model directories, each used as the working directory of one kind of start.
        good = root->path() + "/good";
        slow = root->path() + "/slow";
        missing = root->path() + "/missing";
        garbage = root->path() + "/garbage";
        for (const auto& d : {good, slow, missing, garbage}) fs::create_directories(d);
        for (const auto& d : {good, slow, garbage})
            ASSERT_TRUE(kokoro_rig::installModel(d)) << "model not built: " << kokoro_rig::builtModelDir();
        // A long lexicon of three-character words makes the load take about a second.
        std::ofstream lex(slow + "/kokoro-multi-lang-v1_1/lexicon-zh.txt", std::ios::app);
        std::mt19937 rng(7);
        for (int i = 0; i < 3 * 300000; ++i) {
            char32_t c = 0x4E00 + rng() % 20000;
            lex << static_cast<char>(0xE0 | (c >> 12)) << static_cast<char>(0x80 | ((c >> 6) & 0x3F))
                << static_cast<char>(0x80 | (c & 0x3F)) << (i % 3 == 2 ? " n i h a o\n" : "");
        }
        lex.close();
        std::ofstream(garbage + "/kokoro-multi-lang-v1_1/model.onnx", std::ios::trunc | std::ios::binary)
            << "this is not an onnx model at all, only garbage bytes \x01\x02\x03";
        original_cwd = fs::current_path();
        ids = kokoro_rig::tokenIds(good + "/kokoro-multi-lang-v1_1");
    }

    void TearDown() override {
        if (server) server->stop();
        std::error_code ec;
        fs::current_path(original_cwd, ec);
    }

    // Starts `server` with its model from `dir`, and connects a client.
    FramedClient startIn(const std::string& dir) {
        fs::current_path(dir);
        server = std::make_unique<KokoroTtsServer>();
        EXPECT_TRUE(server->start());
        return connect();
    }

    static FramedClient connect() {
        FramedClient c(kSocket, 10s);
        EXPECT_TRUE(c.connected());
        return c;
    }

    // The next message is the acknowledgement of request `id`, stamped within the last minute.
    static void expectAck(FramedClient& c, uint64_t id, milliseconds timeout = 30s) {
        auto h = c.readHeader(timeout);
        ASSERT_TRUE(h) << "no reply to request " << id;
        EXPECT_EQ(std::make_tuple(h->type, h->length, h->id), std::make_tuple(2006u, 0u, id));
        EXPECT_LE(h->timestamp, velantis::currentTimestamp());
        EXPECT_GT(h->timestamp, velantis::currentTimestamp() - 60000);
    }
    // Sends request `id` and returns what the speaker played by its acknowledgement.
    static std::vector<int16_t> speak(FramedClient& c, uint64_t id, const std::vector<uint8_t>& payload,
                                      milliseconds timeout = 30s) {
        const size_t before = spoken();
        EXPECT_TRUE(c.send(TTS_REQUEST, id, payload));
        expectAck(c, id, timeout);
        return spokenSince(before);
    }

    static size_t spoken() { return alsa_rig::readPcm(speaker).size(); }
    static std::vector<int16_t> spokenSince(size_t from) {
        auto all = alsa_rig::readPcm(speaker);
        return std::vector<int16_t>(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
    }
    // "三" is the lexicon's "s a n", framed by the pad.
    static std::vector<int> san() { return {0, ids.at("s"), ids.at("a"), ids.at("n"), 0}; }

    // A text of exactly 65,535 bytes: clauses, sentences, a long run without a space, runs of
    // spaces and one of some 39,000 (more than the library takes in one call), with "三" and
    // "二" throughout. `want` gets the tokens of its words.
    static std::string longText(std::vector<int>& want) {
        const std::vector<int> three{ids.at("s"), ids.at("a"), ids.at("n")};
        std::string text;
        auto add = [&](const std::string& part, const std::vector<int>& tokens, int times) {
            for (int i = 0; i < times; ++i) {
                text += part;
                want.insert(want.end(), tokens.begin(), tokens.end());
            }
        };
        add("三，" + std::string(200, ' '), three, 30);
        add("三。" + std::string(300, ' '), three, 30);
        add("二", {ids.at("ɚ")}, 400);
        add(std::string(997, ' ') + "三", three, 10);
        add(std::string(65535 - 3 - text.size(), ' ') + "三", three, 1);
        return text;
    }

    static void expectSpeech(const std::vector<int16_t>& got, const std::vector<int>& tokens, float speed, int sid) {
        auto want = kokoro_rig::expectedSpeech(tokens, speed, sid);
        ASSERT_EQ(got.size(), want.size());
        int worst = 0;
        for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::abs(got[i] - want[i]));
        EXPECT_LE(worst, 2) << "largest difference from the model's signal";
    }

    std::unique_ptr<KokoroTtsServer> server;
    static inline LogCapture* log;
    static inline std::unique_ptr<TempDir> root;
    static inline std::string speaker, good, slow, missing, garbage;
    static inline fs::path original_cwd;
    static inline std::map<std::string, int> ids;
};

TEST_F(TtsServerTest, SpeaksTheModelsSignalAndAcknowledgesWithTheRequestId) {
    FramedClient c = startIn(good);

    expectSpeech(speak(c, 7, ttsRequest(0, 1.0f, "三")), san(), 1.0f, 0);
    EXPECT_TRUE(c.quietFor(100ms)) << "nothing follows the acknowledgement";
    EXPECT_GE(log->count("Generating audio for text: '三', sid: 0, speed: 1"), 1u);
    EXPECT_GE(log->count("Finished audio generation for text: '三'"), 1u);
    EXPECT_GE(log->count("ALSA audio device initialized successfully at 24000 Hz"), 1u);

    // Speed 2 halves every segment.
    auto fast = speak(c, 8, ttsRequest(0, 2.0f, "三"));
    EXPECT_EQ(fast.size(), 5u * 120u);
    EXPECT_EQ(kokoro_rig::decodeTokens(fast, 2.0f, 0), san());
    expectSpeech(fast, san(), 2.0f, 0);

    // Speaker 1 overshoots full scale: clamped, never wrapped.
    auto loud = speak(c, 9, ttsRequest(1, 1.0f, "三"));
    expectSpeech(loud, san(), 1.0f, 1);
    EXPECT_EQ(*std::max_element(loud.begin(), loud.end()), 32767);
    EXPECT_EQ(*std::min_element(loud.begin(), loud.end()), -32767);

    // A NUL inside the text ends it.
    expectSpeech(speak(c, 10, ttsRequest(0, 1.0f, std::string("三\0你好", 10))), san(), 1.0f, 0);

    // An empty text (a 10-byte payload) speaks nothing and is acknowledged.
    EXPECT_TRUE(speak(c, 11, ttsRequest(0, 1.0f, "")).empty());

    // Speeds that would stretch speech without bound are refused, and still acknowledged.
    const size_t before = spoken();
    size_t mark = log->size();
    ASSERT_TRUE(c.send(TTS_REQUEST, 13, ttsRequest(0, std::nanf(""), "三")));
    ASSERT_TRUE(c.send(TTS_REQUEST, 14, ttsRequest(0, 0.001f, "三")));
    expectAck(c, 13);
    expectAck(c, 14);
    EXPECT_EQ(spoken(), before);
    EXPECT_EQ(log->count("Received TTS_REQUEST with unusable speed", mark), 2u);

    // Bytes after the text are ignored: text_length 5 in a 20-byte payload.
    EXPECT_GE(kokoro_rig::decodeTokens(speak(c, 12, ttsRequest(0, 1.0f, "三  ", 5)), 1.0f, 0).size(), 5u);

    // The longest text a request can carry is spoken whole, in order, and acknowledged.
    std::vector<int> want;
    const std::string text = longText(want);
    ASSERT_EQ(text.size(), 65535u);
    mark = log->size();
    auto said = speak(c, 15, ttsRequest(0, 4.0f, text), 120s);
    EXPECT_EQ(said.size() % static_cast<size_t>(kokoro_rig::segmentLength(4.0f)), 0u) << "whole segments only";
    auto tokens = kokoro_rig::decodeTokens(said, 4.0f, 0);
    // Pads and punctuation depend on where sentences end: only the words are compared.
    const std::vector<int> unspoken{0, ids.at(","), ids.at(".")};
    tokens.erase(std::remove_if(tokens.begin(), tokens.end(),
                                [&](int t) { return std::count(unspoken.begin(), unspoken.end(), t) > 0; }),
                 tokens.end());
    EXPECT_EQ(tokens, want);
    EXPECT_EQ(log->count("Generating audio for text: '三，   ", mark), 1u);
    EXPECT_EQ(log->count("... (65535 bytes)', sid: 0, speed: 4", mark), 1u);
    EXPECT_EQ(log->count("... (65535 bytes)'", mark), 2u) << "the finished line quotes it the same way";
    for (const auto& line : log->texts()) EXPECT_LT(line.size(), 1200u);

    // Invalid UTF-8 is replaced, counted in one warning, and the request still acknowledged.
    const std::string fffd = "\xEF\xBF\xBD";
    const struct {
        std::string bytes;
        size_t replaced;
        std::string logged;
    } broken[] = {{"\xFF\xFE", 2, fffd + fffd},
                  {"\xC3\x28", 1, fffd + "("},
                  {"\xED\xA0\x80", 3, fffd + fffd + fffd},
                  {"\xF4\x90\x80\x80", 4, fffd + fffd + fffd + fffd}};
    uint64_t id = 20;
    for (const auto& b : broken) {
        SCOPED_TRACE(b.logged);
        mark = log->size();
        speak(c, ++id, ttsRequest(0, 4.0f, "三" + b.bytes + "三"));
        EXPECT_EQ(log->count("Replaced " + std::to_string(b.replaced) + " bytes of invalid UTF-8 with U+FFFD", mark),
                  1u);
        EXPECT_EQ(log->count("Generating audio for text: '三" + b.logged + "三', sid: 0", mark), 1u);
        EXPECT_EQ(log->count("Finished audio generation for text: '三" + b.logged + "三'", mark), 1u);
        EXPECT_EQ(log->count(b.bytes, mark), 0u) << "no raw bytes in the log";
    }
}

TEST_F(TtsServerTest, MalformedRequestsGetNoReplyAndTheConnectionStaysOpen) {
    FramedClient c = startIn(good);
    size_t mark = log->size();

    ASSERT_TRUE(c.send(TTS_REQUEST, 1, std::vector<uint8_t>(9, 0)));
    ASSERT_TRUE(c.send(TTS_REQUEST, 2, ttsRequest(0, 1.0f, "ab", 0, 5)));  // 12 bytes, text_length 5
    ASSERT_TRUE(c.send(WAKEWORD_EVENT, 3, ttsRequest(0, 1.0f, "三")));
    speak(c, 42, ttsRequest(0, 1.0f, "三"));  // the rejected requests got no reply
    EXPECT_TRUE(c.quietFor(100ms));

    EXPECT_EQ(log->count("Received a malformed TTS_REQUEST (too small) from client fd=", mark), 1u);
    EXPECT_EQ(log->count("Received TTS_REQUEST with incorrect size. Expected: 15, Got: 12. From fd=", mark), 1u);
    EXPECT_EQ(log->count("Received an unknown message type (1001) from client fd=", mark), 1u);
}

TEST_F(TtsServerTest, RequestDuringTheLoadWaitsAndIsThenSpoken) {
    size_t mark = log->size();
    FramedClient c = startIn(slow);
    size_t before = spoken();
    ASSERT_TRUE(c.send(TTS_REQUEST, 5, ttsRequest(0, 1.0f, "三")));
    ASSERT_TRUE(log->waitFor("Waiting for TTS model to be loaded...", mark));
    expectAck(c, 5, 120s);
    service_test::expectInOrder(*log, mark,
                                {"Waiting for TTS model to be loaded...", "TTS model loaded successfully.",
                                 "Generating audio for text: '三'"});
    EXPECT_EQ(log->count("Waiting for TTS model to be loaded...", mark), 1u);
    expectSpeech(spokenSince(before), san(), 1.0f, 0);
}

TEST_F(TtsServerTest, FailedLoadsAreAcknowledgedAtOnceWithNothingSpoken) {
    for (const auto& dir : {missing, garbage}) {
        SCOPED_TRACE(dir);
        size_t mark = log->size();
        FramedClient c = startIn(dir);
        ASSERT_TRUE(log->waitFor("Failed to load TTS model.", mark));
        EXPECT_TRUE(speak(c, 77, ttsRequest(0, 1.0f, "三")).empty());
        service_test::expectInOrder(*log, mark,
                                    {"Waiting for TTS model to be loaded...",
                                     "TTS model is not loaded yet. Cannot generate audio."});
        EXPECT_EQ(log->count("Generating audio for text", mark), 0u);
        server->stop();
    }
    // The garbage model made the library throw: counted as the failed load.
    EXPECT_GE(log->count("Exception while loading TTS model: "), 1u);
}

TEST_F(TtsServerTest, TwoClientsAtOnceAreServedOneAfterTheOther) {
    {  // warm up, so both requests below meet a loaded model
        FramedClient w = startIn(good);
        speak(w, 1, ttsRequest(0, 1.0f, ""));
    }
    size_t before = spoken();
    FramedClient a = connect(), b = connect();
    ASSERT_TRUE(a.send(TTS_REQUEST, 100, ttsRequest(0, 1.0f, "三")));
    ASSERT_TRUE(b.send(TTS_REQUEST, 200, ttsRequest(1, 1.0f, "三")));
    expectAck(a, 100);
    expectAck(b, 200);

    // Whole utterances one after the other, never interleaved.
    auto got = spokenSince(before);
    const size_t quiet = kokoro_rig::expectedSpeech(san(), 1.0f, 0).size();
    ASSERT_EQ(got.size(), quiet + kokoro_rig::expectedSpeech(san(), 1.0f, 1).size());
    std::vector<int16_t> first(got.begin(), got.begin() + static_cast<long>(quiet));
    std::vector<int16_t> second(got.begin() + static_cast<long>(quiet), got.end());
    const int first_sid = kokoro_rig::decodeTokens(first, 1.0f, 0) == san() ? 0 : 1;
    expectSpeech(first, san(), 1.0f, first_sid);
    expectSpeech(second, san(), 1.0f, 1 - first_sid);
}

TEST_F(TtsServerTest, StopClosesTheDeviceAndARestartReloadsTheModel) {
    {
        FramedClient c = startIn(good);
        speak(c, 1, ttsRequest(0, 1.0f, "三"));
    }
    size_t mark = log->size();
    server->stop();
    EXPECT_EQ(log->count("ALSA audio device closed.", mark), 1u);
    EXPECT_EQ(log->count("Kokoro TTS Server cleaned up resources.", mark), 1u);
    EXPECT_FALSE(fs::exists(kSocket));
    server.reset();

    mark = log->size();
    FramedClient c = startIn(good);
    EXPECT_EQ(log->count("Starting to load TTS model in the background...", mark), 1u);
    auto said = speak(c, 2, ttsRequest(0, 1.0f, "三"));
    EXPECT_EQ(log->count("TTS model loaded successfully.", mark), 1u);
    EXPECT_EQ(log->count("ALSA audio device initialized successfully at 24000 Hz", mark), 1u);
    expectSpeech(said, san(), 1.0f, 0);
}

TEST_F(TtsServerTest, RefusedDeviceDropsEachStretchAndTheRequestIsStillAcknowledged) {
    FramedClient c = startIn(good);
    ::setenv("VELANTIS_ALSA_OUT", (root->path() + "/no/such/dir/speaker_%r.raw").c_str(), 1);
    size_t mark = log->size();
    auto said = speak(c, 3, ttsRequest(0, 1.0f, "Hello world. How are you?"));
    ::setenv("VELANTIS_ALSA_OUT", (root->path() + "/speaker_%r.raw").c_str(), 1);
    // Two sentences, two stretches: each tries the whole set-up again and is dropped.
    EXPECT_EQ(log->count("Cannot set ALSA hw params: ", mark), 2u);
    EXPECT_EQ(log->count("Finished audio generation for text: 'Hello world. How are you?'", mark), 1u);
    EXPECT_TRUE(said.empty());

    // The next request finds the device again.
    expectSpeech(speak(c, 4, ttsRequest(0, 1.0f, "三")), san(), 1.0f, 0);
}

TEST_F(TtsServerTest, StretchesAreClampedNotWrappedAndEmptyOnesWriteNothing) {
    // The engine's device may be closed (a stopped server): this opens it again.
    size_t before = spoken();
    const float stretch[] = {1.0f, -1.0f, 0.5f, 1.5f, -1.5f, 0.0f, 1.0001f};
    EXPECT_EQ(TtsEngine::AudioGeneratedCallback(stretch, 7, 0.5f), 1);
    EXPECT_EQ(TtsEngine::AudioGeneratedCallback(stretch, 0, 1.0f), 1);
    EXPECT_EQ(spokenSince(before), (std::vector<int16_t>{32767, -32767, 16383, 32767, -32767, 0, 32767}));

    // An odd byte count writes whole samples only; the drain flag drains.
    size_t mark = log->size();
    const int16_t three[] = {1, 2, 3};
    TtsEngine::Instance().playOnDefaultSpeaker(three, 5, true);
    EXPECT_EQ(spokenSince(before + 7), (std::vector<int16_t>{1, 2}));
    EXPECT_EQ(log->count("Audio playback drained.", mark), 1u);
    KokoroTtsServer idle;
    idle.onCleanup();  // closes the drained device, as a stopping server does
    EXPECT_EQ(log->count("ALSA audio device closed.", mark), 1u);

    // Nothing to write still opens a closed device; it drains only when asked.
    mark = log->size();
    size_t written = spoken();
    TtsEngine::Instance().playOnDefaultSpeaker(nullptr, 0, false);
    TtsEngine::Instance().playOnDefaultSpeaker(three, 0, false);
    EXPECT_EQ(log->count("ALSA audio device initialized successfully at 24000 Hz", mark), 1u);
    EXPECT_EQ(log->count("Audio playback drained.", mark), 0u);
    TtsEngine::Instance().playOnDefaultSpeaker(nullptr, 0, true);
    EXPECT_EQ(log->count("Audio playback drained.", mark), 1u);
    EXPECT_EQ(spoken(), written);
    idle.onCleanup();
    EXPECT_EQ(log->count("ALSA audio device closed.", mark), 1u);
}

}  // namespace
