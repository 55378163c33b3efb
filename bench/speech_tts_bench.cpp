// Text-to-speech figures with the real library, the build tree's synthetic Kokoro-format
// model and the paced ALSA test device: model load time; for a text of several sentences
// the time from the request to the first sample written against the time to generate the
// whole text; and the time to speak the longest text a request carries (65,535 bytes).
//
//   speech_tts_bench [repetitions] [speed]   (speed: the device's pace for the long text, 20)
#include <alsa/asoundlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent_service/kokoro_tts_server.h"
#include "agent_service/tts_engine.h"
#include "bench/bench_util.h"
#include "tests/rig/alsa/alsa_test_device.h"
#include "tests/rig/kokoro/kokoro_rig.h"
#include "tests/support/temp_dir.h"

namespace {

using bench::Clock;
using bench::ms;

Clock::time_point g_request;
double g_first_ms = -1;
size_t g_samples = 0;

int32_t firstSampleProbe(const float* samples, int32_t n, float progress) {
    int r = TtsEngine::AudioGeneratedCallback(samples, n, progress);
    if (g_first_ms < 0 && n > 0) g_first_ms = ms(Clock::now() - g_request);
    g_samples += static_cast<size_t>(std::max(n, 0));
    return r;
}

int32_t discard(const float*, int32_t n, float) {
    g_samples += static_cast<size_t>(std::max(n, 0));
    return 1;
}

// GenerateAudio on a 65,535-byte text, the device running `speed` times faster than real
// time. Up to about 20 the device never runs dry, so the time is the speech's length over
// `speed`: the engine keeps ahead of the device across the pieces. Much faster, stretches
// are lost to underruns.
void benchLongText(KokoroTtsServer& server, double speed) {
    const test_support::TempDir dir("speech_tts_bench");
    server.onCleanup();  // the next stretch reopens the device with these settings
    alsa_rig::useTestDevice("", dir / "speaker_%r.raw", speed);
    std::string text;  // English sentences
    while (text.size() < 65535)
        text +=
            "The robot turns towards you and listens, then it answers in its own voice. "
            "Ask it to stand up, to sit down or to wag its tail; it will do so at once! "
            "Is there anything else you would like to know about it? ";
    text.resize(65535);
    auto t0 = Clock::now();
    TtsEngine::Instance().GenerateAudio(text.c_str(), 0, 1.0f);
    TtsEngine::Instance().playOnDefaultSpeaker(nullptr, 0, true);
    const double took = ms(Clock::now() - t0);
    const size_t samples = alsa_rig::readPcm(dir / "speaker_24000.raw").size();
    std::printf("text of %zu bytes in pieces of at most %zu bytes: %.2f s of speech at 24000 Hz\n", text.size(),
                TtsEngine::kPieceBytes, samples / 24000.0);
    std::printf("  spoken and drained with the device at %.0fx real time: %.1f ms\n", speed, took);
    server.onCleanup();
}

}  // namespace

int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape): a benchmark that throws has failed
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::string model_dir = kokoro_rig::builtModelDir();
    std::string parent = model_dir.substr(0, model_dir.rfind('/'));
    if (::chdir(parent.c_str()) != 0) {
        std::fprintf(stderr, "no model at %s (build target kokoro_model)\n", model_dir.c_str());
        return 1;
    }
    alsa_rig::useTestDevice("", "", 1.0);

    TtsEngine& engine = TtsEngine::Instance();
    KokoroTtsServer server;  // never started: only its onInit fills the configuration and loads

    std::vector<double> load, whole, first, spoken;
    for (int i = 0; i < reps; ++i) {
        auto t0 = Clock::now();
        server.onInit();
        engine.load_future.wait();
        load.push_back(ms(Clock::now() - t0));
        if (!engine.model_loaded) {
            std::fprintf(stderr, "model failed to load\n");
            return 1;
        }
    }
    std::printf("model load: %s\n", bench::Summary(load).text(1).c_str());

    const char* text =
        "Hello there. The robot is standing up now. It will turn towards you and wag its tail. "
        "Ask me anything you like. Goodbye for now!";
    // The whole text through `callback`: its time in ms.
    auto generate = [&](SherpaOnnxGeneratedAudioProgressCallback callback) {
        g_request = Clock::now();
        SherpaOnnxDestroyOfflineTtsGeneratedAudio(
            SherpaOnnxOfflineTtsGenerateWithProgressCallback(engine.tts, text, 0, 1.0f, callback));
        return ms(Clock::now() - g_request);
    };
    generate(&discard);  // warms up espeak and the model
    size_t samples = 0;
    for (int i = 0; i < reps; ++i) {
        g_samples = 0;
        whole.push_back(generate(&discard));
        samples = g_samples;

        // Let the device play out what the previous round left in it.
        engine.playOnDefaultSpeaker(nullptr, 0, true);
        snd_pcm_prepare(engine.playback_pcm);
        g_first_ms = -1;
        spoken.push_back(generate(&firstSampleProbe));
        first.push_back(g_first_ms);
    }
    std::printf("text of 5 sentences, %zu samples (%.2f s of speech at 24000 Hz)\n", samples, samples / 24000.0);
    std::printf("whole text generated (no playback): %s\n", bench::Summary(whole).text(2).c_str());
    std::printf("request to first sample written:    %s\n", bench::Summary(first).text(2).c_str());
    std::printf("request to last sample written:     %s (paced device, real time)\n",
                bench::Summary(spoken).text(1).c_str());
    benchLongText(server, argc > 2 ? std::max(1.0, std::atof(argv[2])) : 20.0);
    return 0;
}
