// Received speech: time to first sample and CPU cost of playback.
//
//   conversation_bench [iterations]
//
// 1. Time to first sample: from a binary message's arrival (the call that handles it, and
//    the fake cloud's send on loopback) to the first PCM block reaching the sound device
//    (the paced ALSA test device's output file, watched by a spinning thread).
// 2. CPU time of decoding and writing a 5-second answer (decodeAndProcessOpus with its
//    console lines, into the test device) against libopusfile's bare decode of the stream.
// 3. The cloud connection under load and faults, with the device at real-time pace:
//    the longest pause between upstream packets at the cloud while a 6-s answer plays
//    (a sender thread hands over one packet per 60 ms like the recorder), the time from a
//    goodbye's start to the close frame at the cloud during the answer and in silence, and
//    the time stop() takes against each kind of misbehaving cloud.
// 4. Resident memory of this process after a conversation whose 60-s answer is interrupted
//    by 600,000 empty pings from the cloud (goodbye once all are answered), against the same
//    conversation without pings; and the highest figure seen while the pings came.
#include "agent/ws_controller.h"

#include "bench/bench_alsa.h"
#include "bench/bench_util.h"
#include "tests/rig/alsa/alsa_test_device.h"
#include "tests/rig/cloud/fake_cloud.h"
#include "tests/rig/cloud/ogg_opus.h"
#include "tests/support/build_dirs.h"
#include "tests/support/figures.h"
#include "tests/support/files.h"

#include <fcntl.h>
#include <opus/opusfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Clock;
using bench::ms;
using bench::threadCpuMs;

void print(const char* name, const std::vector<double>& v) {
    std::fprintf(stderr, "%-48s %s\n", name, bench::Summary(v).text(3).c_str());
}

// Polls every millisecond for up to 10 s.
bool waitFor(const std::function<bool()>& done) {
    return test_support::waitUntil(done, std::chrono::seconds(10), std::chrono::milliseconds(1));
}

struct CloudRun {
    double longestPauseMs = 0;  // between upstream packets at the cloud, while the answer plays
    int sent = 0;
    size_t arrived = 0;
    double goodbyeToCloseMs = -1;
    double talkMs = 0;     // from the answer to the goodbye
    size_t pongs = 0;      // answers to the cloud's pings
    long peakKiB = 0;      // highest resident memory seen before the goodbye
    long residentKiB = 0;  // resident memory after the disconnect
};

// One conversation: the greeting, the hello, packets every 60 ms, optionally a long answer
// and pings after it; `talkFor` in (or once every ping is answered), the goodbye and the
// disconnect, as wake-ups do them.
CloudRun conversationRun(velantis::ws_controller& controller, cloud_rig::FakeCloud& cloud, const std::string& answer,
                         const std::string& greeting, const std::string& goodbye, int pings = 0,
                         Clock::duration talkFor = std::chrono::seconds(3)) {
    CloudRun run;
    const int connection = cloud.connectionCount() + 1;
    controller.connect();
    controller.processWaveFile(greeting);
    if (!waitFor([&] { return !cloud.frames(cloud_rig::FrameKind::Text, connection).empty(); })) return run;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        auto next = Clock::now();
        while (!done) {
            controller.sendMessage(std::string(120, static_cast<char>(run.sent++)));
            next += std::chrono::milliseconds(60);
            std::this_thread::sleep_until(next);
        }
    });
    const auto from = Clock::now();
    const size_t pongsBefore = cloud.count(cloud_rig::FrameKind::Pong);
    if (!answer.empty()) cloud.sendBinary(answer);
    if (pings > 0) cloud.act({cloud_rig::CloudAction::pingFlood(pings)});
    // Talks `talkFor`, or until every ping is answered; samples resident memory meanwhile.
    for (const auto until = Clock::now() + talkFor;
         Clock::now() < until &&
         (pings == 0 || cloud.count(cloud_rig::FrameKind::Pong) < pongsBefore + static_cast<size_t>(pings));) {
        run.peakKiB = std::max(run.peakKiB, test_support::residentKiB(::getpid()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const auto goodbyeAt = Clock::now();
    run.talkMs = ms(goodbyeAt - from);
    run.pongs = cloud.count(cloud_rig::FrameKind::Pong) - pongsBefore;
    controller.processGoodbyeFile(goodbye);
    controller.disconnect();
    done = true;
    sender.join();
    run.residentKiB = test_support::residentKiB(::getpid());
    auto last = from;
    for (const auto& f : cloud.frames(cloud_rig::FrameKind::Binary, connection)) {
        if (f.at > goodbyeAt) break;
        run.longestPauseMs = std::max(run.longestPauseMs, ms(f.at - last));
        last = f.at;
    }
    run.arrived = cloud.frames(cloud_rig::FrameKind::Binary, connection).size();
    const auto closes = cloud.frames(cloud_rig::FrameKind::Close, connection);
    if (!closes.empty()) run.goodbyeToCloseMs = ms(closes[0].at - goodbyeAt);
    return run;
}

// stop() of a WebSocket whose peer misbehaves in one way; -1 when the set-up failed.
double stopAgainst(cloud_rig::FakeCloud& cloud, const std::string& fault) {
    velantis::net::WebSocket ws;
    ws.setUrl(cloud.url("/x"));
    std::atomic<bool> opened{false};
    ws.setOnMessageCallback([&](const velantis::net::WebSocketMessagePtr& m) {
        if (m->type == velantis::net::WebSocketMessageType::Open) opened = true;
    });
    const int connection = cloud.connectionCount() + 1;
    if (fault == "silent before TLS") cloud.silence(cloud_rig::CloudSilence::BeforeTls, connection);
    if (fault == "silent before the upgrade") cloud.silence(cloud_rig::CloudSilence::BeforeUpgrade, connection);
    ws.start();
    if (fault.rfind("silent", 0) == 0) {
        if (!waitFor([&] { return cloud.connectionCount() >= connection; })) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } else {
        if (!waitFor([&] { return opened.load() && cloud.openedAt(connection) != cloud_rig::Clock::time_point{}; }))
            return -1;
        if (fault == "close frame, then silence") cloud.act({cloud_rig::CloudAction::closeSilently(4000, "bye")});
        if (fault == "stops reading") {
            cloud.act({cloud_rig::CloudAction::stopReading()});
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const std::string big(1 << 20, 'x');
            for (int i = 0; i < 100 && ws.send(big, true).success; ++i) {
            }
        }
        if (fault == "reset in the middle of a frame") cloud.act({cloud_rig::CloudAction::reset()});
        if (fault == "stalls inside a text frame") cloud.act({cloud_rig::CloudAction::stallInText()});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const auto t0 = Clock::now();
    ws.stop();
    return ms(Clock::now() - t0);
}

// CPU time of libopusfile's bare decode of the stream; with `toDevice`, the baseline of
// playback: each block written to the same device ("default"), with nothing else around it.
double bareDecodeMs(const std::string& stream, bool toDevice = false) {
    snd_pcm_t* pcm = toDevice ? bench::openPcm(SND_PCM_STREAM_PLAYBACK, 48000) : nullptr;
    if (toDevice && !pcm) {
        std::fprintf(stderr, "bare device open failed\n");
        return 0;
    }
    const double start = threadCpuMs();
    int err = 0;
    OggOpusFile* of = op_open_memory(reinterpret_cast<const unsigned char*>(stream.data()), stream.size(), &err);
    opus_int16 buffer[5760];
    long samples = 0;
    int n;
    while ((n = op_read(of, buffer, 5760, nullptr)) > 0) {
        samples += n;
        if (pcm && snd_pcm_writei(pcm, buffer, static_cast<snd_pcm_uframes_t>(n)) == -EPIPE) snd_pcm_prepare(pcm);
    }
    op_free(of);
    const double used = threadCpuMs() - start;
    if (samples <= 0) std::fprintf(stderr, "bare decode failed\n");
    if (pcm) {
        snd_pcm_drop(pcm);
        snd_pcm_close(pcm);
    }
    return used;
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(3, std::atoi(argv[1])) : 20;
    char pattern[] = "/tmp/conversation_bench-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    const std::string speaker = dir + "/speaker_48000.raw";
    // The device runs 50 times faster than real time so that blocked writes do not
    // dominate the run; CPU time is per thread and unaffected.
    alsa_rig::useTestDevice("", dir + "/speaker_%r.raw", 50.0);
    ::setenv("MC_SIM_TRACE", (dir + "/robot.trace").c_str(), 1);
    const auto certs = cloud_rig::makeCloudCertificates(dir + "/certs");
    ::setenv("SSL_CERT_FILE", certs.caFile.c_str(), 1);

    // Console lines of the playback go to a file, as a service's output would.
    const int devnull = ::open((dir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::fflush(stdout);
    ::dup2(devnull, 1);

    const std::string shortAnswer = cloud_rig::encodeOggOpus(cloud_rig::chirp(0.5));
    const std::string answer = cloud_rig::encodeOggOpus(cloud_rig::chirp(5.0));
    {
        velantis::ws_controller controller;
        velantis::StopPlaying();  // opens the device

        // From send() to the first block on the device, watched by a spinning thread.
        auto firstSampleMs = [&](const std::function<void()>& send) {
            velantis::StopPlaying();
            const double size = bench::fileSize(speaker);
            Clock::time_point first;
            std::atomic<bool> ready{false};
            std::thread watcher([&] {
                ready = true;
                first = bench::waitForGrowth(speaker, size, Clock::now() + std::chrono::seconds(5));
            });
            while (!ready) {
            }
            const auto t0 = Clock::now();
            send();
            watcher.join();
            return ms(first - t0);
        };

        // 1a. From the handling call to the first block on the device.
        std::vector<double> direct;
        for (int i = 0; i < iterations; ++i)
            direct.push_back(firstSampleMs([&] { controller.decodeAndProcessOpus(shortAnswer); }));

        // 1b. From the fake cloud's send on loopback (TLS, WebSocket, deflate) to the first block.
        cloud_rig::FakeCloud::Options o;
        o.certFile = certs.certFile;
        o.keyFile = certs.keyFile;
        o.port = VELANTIS_CLOUD_PORT;
        cloud_rig::FakeCloud cloud(o);
        std::vector<double> viaCloud;
        if (!cloud.start()) {
            std::fprintf(stderr, "fake cloud: %s\n", cloud.error().c_str());
        } else {
            controller.connect();
            cloud.waitUntil([&] { return !cloud.frames(cloud_rig::FrameKind::Text).empty(); },
                            std::chrono::seconds(10));
            for (int i = 0; i < iterations; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the previous answer is handled
                viaCloud.push_back(firstSampleMs([&] { cloud.sendBinary(shortAnswer); }));
            }
            controller.disconnect();
            cloud.stop();
        }

        // 2. CPU time per 5-second answer.
        std::vector<double> full, bare, bareWrite;
        for (int i = 0; i < iterations; ++i) {
            velantis::StopPlaying();
            const double start = threadCpuMs();
            controller.decodeAndProcessOpus(answer);
            full.push_back(threadCpuMs() - start);
            velantis::StopPlaying();
            bare.push_back(bareDecodeMs(answer));
            bareWrite.push_back(bareDecodeMs(answer, true));
        }

        // 3. With the device at real-time pace.
        ::setenv("VELANTIS_ALSA_SPEED", "1", 1);
        velantis::initAlsa();
        const std::string longAnswer = cloud_rig::encodeOggOpus(cloud_rig::chirp(6.0));
        const std::string res = test_support::sourceDir() + "/res/";
        const std::string greeting = res + "在呢.wav", goodbye = res + "好的，再见.wav";
        cloud_rig::FakeCloud faulty(o);
        CloudRun answering, quiet;
        std::vector<std::pair<std::string, double>> stops;
        if (faulty.start()) {
            answering = conversationRun(controller, faulty, longAnswer, greeting, goodbye);
            quiet = conversationRun(controller, faulty, "", greeting, goodbye);
            for (const char* fault :
                 {"close frame, then silence", "stops reading", "silent before the upgrade", "silent before TLS",
                  "reset in the middle of a frame", "stalls inside a text frame"})
                stops.emplace_back(fault, stopAgainst(faulty, fault));
            faulty.stop();
        }

        // 4. Pings while a long answer plays. The cloud only counts the pongs, so that what
        // grows here is the agent's side.
        o.keepControlFrames = false;
        cloud_rig::FakeCloud pinging(o);
        constexpr int kPings = 600000;
        const std::string minuteAnswer = cloud_rig::encodeOggOpus(cloud_rig::chirp(60.0));
        CloudRun calm, flooded;
        if (pinging.start()) {
            calm = conversationRun(controller, pinging, minuteAnswer, greeting, goodbye, 0, std::chrono::seconds(10));
            flooded = conversationRun(controller, pinging, minuteAnswer, greeting, goodbye, kPings,
                                      std::chrono::seconds(55));
            pinging.stop();
        }

        std::fprintf(stderr,
                     "conversation_bench: %d iterations, answer %zu bytes (5 s), short answer %zu bytes (0.5 s)\n",
                     iterations, answer.size(), shortAnswer.size());
        print("time to first sample, handling call (ms)", direct);
        if (!viaCloud.empty()) print("time to first sample, cloud send on loopback (ms)", viaCloud);
        print("CPU decode + write 5 s answer (ms)", full);
        print("CPU bare decode + write, same device (ms)", bareWrite);
        print("CPU bare libopusfile decode 5 s (ms)", bare);
        std::fprintf(stderr, "%-48s %8.2f x\n", "ratio to bare decode + write (median)",
                     bench::Summary(full).median / bench::Summary(bareWrite).median);
        std::fprintf(stderr,
                     "longest upstream pause during a 6-s answer       %8.1f ms (%d packets sent, %zu arrived)\n",
                     answering.longestPauseMs, answering.sent, answering.arrived);
        std::fprintf(stderr, "goodbye -> close frame at the cloud, during an answer %8.1f ms, in silence %8.1f ms\n",
                     answering.goodbyeToCloseMs, quiet.goodbyeToCloseMs);
        for (const auto& [fault, took] : stops)
            std::fprintf(stderr, "stop() against a cloud that %-28s %8.1f ms\n", (fault + ":").c_str(), took);
        std::fprintf(stderr, "resident memory after a 60-s answer, no pings        %8ld KiB (goodbye after %.1f s)\n",
                     calm.residentKiB, calm.talkMs / 1000);
        std::fprintf(stderr,
                     "resident memory after %d pings during it        %8ld KiB (%+ld KiB; highest %ld KiB; "
                     "%zu answered, goodbye after %.1f s)\n",
                     kPings, flooded.residentKiB, flooded.residentKiB - calm.residentKiB, flooded.peakKiB,
                     flooded.pongs, flooded.talkMs / 1000);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
