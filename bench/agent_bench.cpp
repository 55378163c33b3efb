// Measures the agent process in the simulated conversation (needs root):
//  - from the last byte of a wake-up frame to the greeting's first sample at the speaker,
//    to the hello at the cloud and to the first Opus packet at the cloud;
//  - the recording thread's CPU time per 60 ms block against a bare loop that reads the same
//    device and encodes (run beside it), and against opus_encode alone;
//  - CPU use and resident memory while idle, waiting for a wake-up.
//
//   agent_bench [conversations]   (default 5)
#include <dirent.h>
#include <opus/opus.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "bench/bench_alsa.h"
#include "bench/bench_util.h"
#include "tests/rig/agent/conversation_rig.h"
#include "tests/rig/alsa/alsa_test_device.h"
#include "tests/support/figures.h"

using namespace std::chrono_literals;
using namespace bench;

namespace {

// Time on the CPU of one thread in seconds, with nanosecond resolution.
double threadCpuSeconds(const std::string& schedstatPath) {
    std::istringstream in(test_support::readFile(schedstatPath));
    unsigned long long ns = 0;
    in >> ns;
    return static_cast<double>(ns) / 1e9;
}

// Thread id in the log line that holds `text` (the logger writes "[tid N]").
long logTid(const std::string& log, const std::string& text) {
    size_t at = log.rfind(text);
    if (at == std::string::npos) return -1;
    size_t begin = log.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    size_t tid = log.find("[tid ", begin);
    if (tid == std::string::npos || tid > at) return -1;
    return std::stol(log.substr(tid + 5));
}

// CPU time of opus_encode alone per 960-sample block of the same audio.
double encodeOnlyMs(const std::vector<int16_t>& mic, size_t blocks) {
    int err = 0;
    OpusEncoder* enc = opus_encoder_create(16000, 1, OPUS_APPLICATION_AUDIO, &err);
    unsigned char packet[4000];
    const double start = threadCpuMs();
    size_t done = 0;
    opus_int32 bytes = 0;
    for (size_t i = 0; i < blocks && (i + 1) * 960 <= mic.size(); ++i, ++done)
        bytes += opus_encode(enc, mic.data() + i * 960, 960, packet, sizeof packet);
    const double used = threadCpuMs() - start;
    opus_encoder_destroy(enc);
    return done && bytes > 0 ? used / static_cast<double>(done) : 0.0;
}

// The recording thread's work with nothing around it: reads the same paced device with the
// recorder's hardware parameters (ALSA's defaults for the rest) and encodes each 960-sample
// block. Adds the CPU time and count of the blocks after the first few to *cpuMs, *blocks.
void bareLoop(std::chrono::milliseconds span, double* cpuMs, size_t* blocks) {
    snd_pcm_t* pcm = openPcm(SND_PCM_STREAM_CAPTURE, 16000);
    if (!pcm) return;
    bool ok = snd_pcm_prepare(pcm) >= 0 && snd_pcm_start(pcm) >= 0;
    int err = 0;
    OpusEncoder* enc = ok ? opus_encoder_create(16000, 1, OPUS_APPLICATION_AUDIO, &err) : nullptr;
    if (enc) {
        int16_t block[960];
        unsigned char packet[4000];
        const size_t warmUp = 5;
        double c0 = 0.0;
        auto end = Clock::now() + span;
        for (size_t n = 0; ok && (Clock::now() < end || n <= warmUp); ++n) {
            if (n == warmUp) c0 = threadCpuMs();
            snd_pcm_uframes_t got = 0;
            while (ok && got < 960) {
                snd_pcm_sframes_t r = snd_pcm_readi(pcm, block + got, 960 - got);
                if (r < 0)
                    ok = snd_pcm_recover(pcm, static_cast<int>(r), 1) == 0;
                else
                    got += static_cast<snd_pcm_uframes_t>(r);
            }
            if (ok && opus_encode(enc, block, 960, packet, sizeof packet) > 0 && n >= warmUp) ++*blocks;
        }
        if (c0 > 0.0) *cpuMs += threadCpuMs() - c0;
        opus_encoder_destroy(enc);
    }
    snd_pcm_close(pcm);
}

}  // namespace

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "agent_bench: needs root (private mount and network namespaces)\n");
        return 2;
    }
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    agent_rig::ConversationRig rig;
    std::string error;
    // The cloud answers once the user has spoken for a while, as a real one would.
    agent_rig::CloudScript script;
    script.answerAfterPackets = 20;
    if (!rig.setUp(&error, "", script) || !(error = rig.startRecording()).empty()) {
        std::fprintf(stderr, "agent_bench: %s\n", error.c_str());
        return 1;
    }
    // The bare loop in this process reads the agent's microphone signal from the same device.
    alsa_rig::useTestDevice(rig.dir() + "/mic.raw", "");
    auto& agent = rig.agent();
    auto& cloud = rig.cloud();
    pid_t pid = agent.pid();

    // Idle, waiting for a wake-up: the whole process and each of its threads.
    std::this_thread::sleep_for(1s);
    std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    auto threadTimes = [&] {
        std::map<long, double> out;
        if (DIR* d = ::opendir(taskDir.c_str())) {
            while (dirent* e = ::readdir(d))
                if (e->d_name[0] != '.')
                    out[std::atol(e->d_name)] = threadCpuSeconds(taskDir + "/" + e->d_name + "/schedstat");
            ::closedir(d);
        }
        return out;
    };
    auto threads0 = threadTimes();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(5s);
    double idleSeconds = secondsSince(t0);
    auto threads1 = threadTimes();
    long idleRss = test_support::residentKiB(pid);
    std::string log = agent.log();
    std::map<long, std::string> names{{logTid(log, "Server loop started"), "server"},
                                      {logTid(log, "New Thread: init_orvanite"), "link"},
                                      {logTid(log, "Record process..."), "recording"},
                                      {static_cast<long>(pid), "main"}};
    std::string perThread;
    double idleCpu = 0.0;  // the whole process: its threads together
    for (const auto& [tid, t] : threads1) {
        const double cpu = (t - threads0[tid]) / idleSeconds * 100.0;
        idleCpu += cpu;
        char buf[96];
        std::snprintf(buf, sizeof buf, " %s=%.2f%%",
                      (names.count(tid) ? names[tid] : "tid " + std::to_string(tid)).c_str(), cpu);
        perThread += buf;
    }

    std::vector<double> toSpeaker, toOpen, toHello, toPacket;
    size_t frameBytes = 0;
    double recCpu = 0.0, bareCpu = 0.0;
    size_t recBlocks = 0, bareBlocks = 0;
    for (int i = 0; i < runs; ++i) {
        int connection = i + 1;
        const double speakerBefore = fileSize(rig.speakerPath());
        size_t textsBefore = cloud.frames(cloud_rig::FrameKind::Text).size();
        frameBytes = board_rig::wakeup(60.0 + 20.0 * i, 1).size();
        auto woke = rig.wakeUp(60.0 + 20.0 * i, 1);
        // The speaker file grows when the greeting's first block is written.
        const auto firstSample = waitForGrowth(rig.speakerPath(), speakerBefore, woke + 20s);
        if (firstSample < woke + 20s) toSpeaker.push_back(ms(firstSample - woke));
        if (!cloud.waitUntil(
                [&] {
                    return rig.upstreamPackets(connection).size() >= 60 &&
                           cloud.frames(cloud_rig::FrameKind::Text).size() > textsBefore;
                },
                40s)) {
            std::fprintf(stderr, "agent_bench: conversation %d did not stream\n", connection);
            return 1;
        }
        toOpen.push_back(ms(cloud.openedAt(connection) - woke));
        if (auto hello = rig.frames(connection, cloud_rig::FrameKind::Text); !hello.empty())
            toHello.push_back(ms(hello[0].at - woke));
        toPacket.push_back(ms(rig.frames(connection, cloud_rig::FrameKind::Binary).at(0).at - woke));

        // Recording thread CPU over a stretch of streaming.
        long tid = logTid(agent.log(), "Awakened, start recording");
        std::string tstat = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat";
        size_t p0 = rig.upstreamPackets(connection).size();
        double c0 = threadCpuSeconds(tstat);
        // The bare loop runs beside it, so both see the same machine.
        std::thread bareThread([&] { bareLoop(3s, &bareCpu, &bareBlocks); });
        std::this_thread::sleep_for(3s);
        recCpu += threadCpuSeconds(tstat) - c0;
        recBlocks += rig.upstreamPackets(connection).size() - p0;
        bareThread.join();

        rig.wakeUp(60.0, 1);
        if (!rig.waitForFrame(connection, cloud_rig::FrameKind::Close, 30s)) {
            std::fprintf(stderr, "agent_bench: conversation %d was not closed\n", connection);
            return 1;
        }
        agent.waitForLog("Setting emoji state: 4", 10s, static_cast<size_t>(connection));
        std::this_thread::sleep_for(1500ms);  // the link pauses after each wake-up
    }

    std::printf("agent_bench: %d conversations\n", runs);
    std::printf("wake-up frame of %zu bytes: its read at the link's pace takes %zu ms\n", frameBytes, frameBytes);
    std::printf("wake-up frame -> greeting's first sample at the speaker: %s\n", Summary(toSpeaker).text().c_str());
    std::printf("wake-up frame -> connection open at the cloud:          %s\n", Summary(toOpen).text().c_str());
    std::printf("wake-up frame -> hello at the cloud:                    %s\n", Summary(toHello).text().c_str());
    std::printf("wake-up frame -> first Opus packet at the cloud:        %s\n", Summary(toPacket).text().c_str());
    double recMs = recBlocks ? recCpu * 1000.0 / static_cast<double>(recBlocks) : 0.0;
    double bareMs = bareBlocks ? bareCpu / static_cast<double>(bareBlocks) : 0.0;
    std::printf("recording thread CPU per 60 ms block: %.3f ms (%zu blocks sent)\n", recMs, recBlocks);
    std::printf(
        "bare read + opus_encode loop, same device and signal, same time: %.3f ms (%zu blocks); "
        "ratio %.2f (goal <= 1.15)\n",
        bareMs, bareBlocks, bareMs > 0.0 ? recMs / bareMs : 0.0);
    std::printf("opus_encode alone per 60 ms block:     %.3f ms\n", encodeOnlyMs(rig.mic(), 2000));
    std::printf("idle, waiting for a wake-up: CPU %.2f %%, resident memory %ld KiB\n", idleCpu, idleRss);
    std::printf("idle CPU by thread:%s\n", perThread.c_str());
    return 0;
}
