// The service soak. The parent plays the board; the worker (this program again, in a
// private mount namespace) hosts the library.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bench/soak.h"
#include "examples/host/service_library.h"
#include "tests/rig/agent/conversation_rig.h"
#include "tests/rig/alsa/alsa_test_device.h"
#include "tests/rig/kokoro/kokoro_rig.h"
#include "tests/support/framed_client.h"

using namespace std::chrono_literals;

namespace soak {

namespace {

const char* const kTtsPath = "/tmp/velantis_tts.sock";
const char* const kWakePath = "/tmp/velantis_wakeword.sock";
// The worker asks the board for a wake-up by making this file in its /tmp.
const char* const kWakeUpRequest = "/tmp/soak-wake-up";

bool canConnect(const char* path) { return test_support::FramedClient().connectTo(path) == 0; }

// A client of our own: the wake-word server greets it with its state.
bool wakeWordServerGreets() {
    test_support::FramedClient client(kWakePath);
    auto m = client.connected() ? client.readMessage(5s) : std::nullopt;
    return m && m->first.type == WAKEWORD_STATE;
}

}  // namespace

int serviceWorker(int cycles, int warm) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The speech engine reads "./kokoro-multi-lang-v1_1/".
    if (::symlink(kokoro_rig::builtModelDir().c_str(), kokoro_rig::kDirName) != 0) {
        std::printf("service: cannot link the speech model\n");
        return 2;
    }
    // Besides the interface, the globals a host that starts the service again needs.
    ServiceLibrary lib;
    std::atomic<bool>* shutdownRequested = nullptr;
    std::mutex* mainMutex = nullptr;
    int* wakewordClientFd = nullptr;
    if (!lib.load() || !lib.resolve(shutdownRequested, "g_shutdown_requested") ||
        !lib.resolve(mainMutex, "g_main_mutex") || !lib.resolve(wakewordClientFd, "g_wakeword_client_fd"))
        return 2;
    std::vector<std::string> failures;
    std::atomic<int> events{0}, states{0};
    int requested = 0, spoken = 0;
    Figures start;
    const auto began = bench::Clock::now();
    for (int c = 0; c < cycles && failures.size() < 20; ++c) {
        if (c == warm) {
            start = settledFigures(::getpid());
            std::printf("service: after %d warm-up cycles: %s\n", warm, test_support::describe(start).c_str());
        }
        if (c > 0 && c % 20 == 0)
            std::printf("service: %d cycles, %s\n", c,
                        test_support::describe(test_support::figuresOf(::getpid())).c_str());
        std::string at = "cycle " + std::to_string(c + 1) + ": ";
        std::thread service(lib.startService);
        if (!test_support::waitUntil([] { return canConnect(kTtsPath) && canConnect(kWakePath); }, 15s))
            failures.push_back(at + "the servers did not listen");

        // The library's listener, our own client, a text to speak, and the agent client
        // (no agent runs here: it must fail, not hang).
        const int greetings = states.load();
        std::thread listener([&] {
            lib.listenWakeWord([&](const velantis::MessageHeader& h) {
                std::vector<char> payload(h.length);
                if (h.length) test_support::recvExact(*wakewordClientFd, payload.data(), payload.size());
                if (h.type == WAKEWORD_EVENT) ++events;
                if (h.type == WAKEWORD_STATE) ++states;
            });
        });
        if (!test_support::waitUntil([&] { return states.load() > greetings; }, 10s))
            failures.push_back(at + "the library's listener was not greeted");
        if (!wakeWordServerGreets()) failures.push_back(at + "the wake-word server did not greet a client");
        if (lib.sendTTSRequest("三"))
            ++spoken;
        else
            failures.push_back(at + "the text was not sent");
        if (lib.runTavrinAgent()) failures.push_back(at + "an agent answered where none runs");
        // Every tenth cycle a wake-up of the board must reach the listener of this server.
        if (c % 10 == 5) {
            int before = events.load();
            ++requested;
            std::ofstream(kWakeUpRequest).put('\n');
            if (!test_support::waitUntil([&] { return events.load() > before; }, 10s))
                failures.push_back(at + "the board's wake-up did not reach the listener");
        }

        lib.stopWakeWordListening();
        lib.stopService();
        listener.join();
        lib.stopWakeWordListening();
        service.join();
        // The service runs once per process by design: a host that starts it again clears the
        // flag once startService has returned.
        {
            std::lock_guard<std::mutex> lock(*mainMutex);
            shutdownRequested->store(false);
        }
    }
    const Figures end = settledFigures(::getpid());
    std::printf("service: after %d cycles: %s\n", cycles, test_support::describe(end).c_str());
    std::printf(
        "service: %d cycles in %.1f s, %d texts spoken, %d listener greetings, %d of %d wake-ups heard, log %.0f "
        "bytes per cycle\n",
        cycles, bench::secondsSince(began), spoken, states.load(), events.load(), requested,
        bench::fileSize("logs/basic-log.txt") / std::max(1, cycles));
    if (warm < cycles) compareFigures("service host", start, end, failures);
    for (const auto& f : failures) std::printf("service: FAILED: %s\n", f.c_str());
    return failures.empty() ? 0 : 1;
}

int serviceSoak(int cycles, double playbackSpeed) {
    board_rig::PtyBoard board;
    agent_rig::AgentProcess worker;
    agent_rig::AgentOptions o;
    o.program = std::filesystem::read_symlink("/proc/self/exe").string();
    o.ttySlave = board.slave_path();
    o.env = alsa_rig::environment("", "", playbackSpeed);
    // Each cycle's threads would land in further malloc arenas until glibc's limit (eight per
    // core), which grows resident memory by megabytes without a leak: one arena shows what the
    // library itself keeps. Figures are taken after 40 cycles (half the run when shorter).
    o.env.push_back("MALLOC_ARENA_MAX=1");
    o.env.push_back(std::string(kWorkerVariable) + "=" + std::to_string(cycles) + "," +
                    std::to_string(std::min(40, cycles / 2)));
    if (!worker.start(o)) {
        std::fprintf(stderr, "soak: cannot start the service worker\n");
        return 2;
    }
    const std::string request = worker.tmpDir() + (kWakeUpRequest + std::strlen("/tmp"));
    bool raw = false;
    int wakeUps = 0;
    const bool finished = test_support::waitUntil(
        [&] {
            if (!raw) raw = board.wait_raw(20ms);
            if (raw && ::unlink(request.c_str()) == 0) {
                board.write(board_rig::wakeup(140.0, 1));
                ++wakeUps;
            }
            return !worker.running();
        },
        std::chrono::seconds(60 + 5 * cycles), 20ms);
    worker.kill();
    // Only our own lines: the library talks a lot on its standard output.
    for (const auto& line : test_support::splitLines(worker.output()))
        if (line.rfind("service: ", 0) == 0) std::printf("%s\n", line.c_str());
    std::printf("service: %d wake-ups sent by the board\n", wakeUps);
    if (!finished) {
        std::printf("service: FAILED: the worker did not finish in time\n");
        return 1;
    }
    auto status = worker.exitCode();
    if (status != 0) {
        std::string err = worker.errors();
        std::fputs(err.substr(err.size() > 2000 ? err.size() - 2000 : 0).c_str(), stdout);
        std::printf("service: FAILED: the worker ended with status %d\n", status ? *status : -1);
        return 1;
    }
    return 0;
}

}  // namespace soak
