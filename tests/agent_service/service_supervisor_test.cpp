// The service supervisor through the real library. The service runs at most once per
// process, so each case runs in a child process of its own (this program started again
// with --scenario), in a temporary working directory that receives its log.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>

#include "agent_service/velantis_agent_service.h"
#include "tests/rig/agent/agent_runner.h"
#include "tests/support/files.h"
#include "tests/support/framed_client.h"
#include "tests/support/private_tmp.h"
#include "tests/support/process.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

using namespace test_support;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------
// Thread-creation failures on demand, to make a server crash the way it would when the
// system runs out of threads. Mode 1: the first thread that the speech supervisor tries
// to create fails. Mode 2: the second supervisor that startService starts fails. Mode 3:
// the speech supervisor's second thread fails (its model load starts, then its server
// thread cannot be created; the next one could be).

namespace {
std::atomic<int> s_fail_mode{0};
std::atomic<bool> s_host_known{false};
pthread_t s_host;
std::atomic<int> s_host_creations{0};
std::atomic<int> s_failures_left{1};
std::atomic<int> s_speech_creations{0};
thread_local bool t_speech_supervisor = false;

struct Trampoline {
    void* (*fn)(void*);
    void* arg;
};

void* speechSupervisorStart(void* p) {
    Trampoline t = *static_cast<Trampoline*>(p);
    delete static_cast<Trampoline*>(p);
    t_speech_supervisor = true;
    return t.fn(t.arg);
}
}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) {
    using Real = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_create"));
    int mode = s_fail_mode.load();
    if (mode != 0) {
        if (s_host_known.load() && pthread_equal(pthread_self(), s_host)) {
            int n = ++s_host_creations;
            if (mode == 2 && n == 2) return EAGAIN;
            if (n == 1) {
                auto* t = new Trampoline{fn, arg};
                int rc = real(thread, attr, speechSupervisorStart, t);
                if (rc != 0) delete t;
                return rc;
            }
        } else if (mode == 1 && t_speech_supervisor && s_failures_left.fetch_sub(1) > 0) {
            return EAGAIN;
        } else if (mode == 3 && t_speech_supervisor) {
            if (++s_speech_creations == 2) return EAGAIN;
        }
    }
    return real(thread, attr, fn, arg);
}

// ---------------------------------------------------------------------------------------
// Scenarios, run in the child.

namespace {

#define REQUIRE(cond)                                                                          \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::cerr << "requirement failed at line " << __LINE__ << ": " #cond << std::endl; \
            std::cout.flush();                                                                 \
            std::_Exit(1);                                                                     \
        }                                                                                      \
    } while (0)

const char* const kTtsPath = "/tmp/velantis_tts.sock";
const char* const kWakePath = "/tmp/velantis_wakeword.sock";
const char* const kTtsCrash = "KokoroTtsServer crashed: Resource temporarily unavailable. Restarting in 5 seconds...";

LogCapture& log() { return processLog(); }

// Each line logged exactly this many times.
void requireCounts(std::initializer_list<std::pair<const char*, size_t>> counts) {
    for (const auto& [line, times] : counts) {
        if (log().count(line) == times) continue;
        std::cerr << "logged " << log().count(line) << " times, not " << times << ": " << line << std::endl;
        std::_Exit(1);
    }
}

bool canConnect(const char* path) { return FramedClient().connectTo(path) == 0; }

// The wake-word server greets a new client with its initial state.
bool wakeWordServerAnswers() {
    FramedClient c;
    if (c.connectTo(kWakePath) != 0) return false;
    auto m = c.readMessage(5s);
    return m && m->first.type == WAKEWORD_STATE && m->second.size() == 66 &&
           std::string(m->second.begin() + 2, m->second.begin() + 16) == std::string("initial_state\0", 14);
}

// Runs startService on a thread of its own, as a host does.
class Service {
public:
    explicit Service(int fail_mode = 0) {
        thread_ = std::thread([this, fail_mode] {
            s_host = pthread_self();
            s_host_known = true;
            s_fail_mode = fail_mode;
            velantis::startService();
            returned_at_ = std::chrono::steady_clock::now();
            returned_ = true;
        });
    }
    ~Service() {
        if (thread_.joinable()) thread_.join();
    }
    bool waitReturned(std::chrono::milliseconds timeout) {
        return waitUntil([&] { return returned_.load(); }, timeout);
    }
    std::chrono::steady_clock::time_point returnedAt() const { return returned_at_; }

private:
    std::thread thread_;
    std::atomic<bool> returned_{false};
    std::chrono::steady_clock::time_point returned_at_;
};

void requireStoppedCleanly() {
    REQUIRE(!g_tts_thread.joinable());
    REQUIRE(!g_wakeword_thread.joinable());
    REQUIRE(g_shutdown_requested.load());
}

// The service stops and its start returns within `timeout`.
void requireStops(Service& service, std::chrono::milliseconds timeout = 20s) {
    velantis::stopService();
    REQUIRE(service.waitReturned(timeout));
    requireStoppedCleanly();
}

int stopBeforeStart() {
    for (int i = 0; i < 2; ++i) {
        velantis::stopService();
        velantis::startService();
        requireStoppedCleanly();
    }
    requireCounts({{"Stopping Velantis Agent Service...", 2},
                   {"Starting Velantis Agent Service...", 2},
                   {"All services are running with auto-restart enabled.", 2},
                   {"Kokoro TTS server thread has shut down.", 2},
                   {"WakeWord server thread has shut down.", 2},
                   {"Velantis Agent Service stopped.", 2},
                   {"Starting Kokoro TTS server...", 0},
                   {"Starting WakeWord server...", 0}});
    // Each start: its two lines, both shut-down lines, then the stop line.
    long start = log().find("Starting Velantis Agent Service...");
    long running = log().find("All services are running with auto-restart enabled.", start);
    long stopped = log().find("Velantis Agent Service stopped.", running);
    REQUIRE(start >= 0 && running > start && stopped > running);
    REQUIRE(log().find("Kokoro TTS server thread has shut down.", start) < stopped);
    REQUIRE(log().find("WakeWord server thread has shut down.", start) < stopped);
    return 0;
}

int fullRun() {
    Service service;
    REQUIRE(waitUntil([] { return canConnect(kTtsPath) && canConnect(kWakePath); }, 20s));
    std::atomic<bool> listened{false};
    std::thread listener([&] { listened = velantis::listenWakeWord(nullptr); });
    REQUIRE(velantis::sendTTSRequest("Hello there."));
    REQUIRE(log().waitFor("Connected to wake word server", 0, 10s));
    velantis::stopWakeWordListening();
    listener.join();
    REQUIRE(listened.load());

    requireStops(service);
    REQUIRE(!canConnect(kTtsPath) && !canConnect(kWakePath));
    REQUIRE(::access(kTtsPath, F_OK) != 0 && ::access(kWakePath, F_OK) != 0);
    requireCounts({{"Starting Kokoro TTS server...", 1},
                   {"Starting WakeWord server...", 1},
                   {"Kokoro TTS server thread has shut down.", 1},
                   {"WakeWord server thread has shut down.", 1},
                   {"crashed", 0}});

    // The flag stays set: a second start returns at once.
    auto t0 = std::chrono::steady_clock::now();
    velantis::startService();
    REQUIRE(std::chrono::steady_clock::now() - t0 < 5s);
    requireStoppedCleanly();
    requireCounts({{"Velantis Agent Service stopped.", 2}, {"Starting Kokoro TTS server...", 1}});
    return 0;
}

int secondStartRefused() {
    Service service;
    REQUIRE(waitUntil([] { return canConnect(kTtsPath) && canConnect(kWakePath); }, 20s));
    auto t0 = std::chrono::steady_clock::now();
    velantis::startService();  // the first call still runs: refused at once
    REQUIRE(std::chrono::steady_clock::now() - t0 < 5s);
    requireCounts({{"Velantis Agent Service is already running.", 1}, {"Starting Velantis Agent Service...", 1}});
    REQUIRE(canConnect(kTtsPath) && canConnect(kWakePath));

    velantis::stopService();  // and once more below: a second stop only logs again
    requireStops(service);
    requireCounts({{"Stopping Velantis Agent Service...", 2},
                   {"Velantis Agent Service stopped.", 1},
                   {"Kokoro TTS server thread has shut down.", 1},
                   {"WakeWord server thread has shut down.", 1},
                   {"Starting Kokoro TTS server...", 1},
                   {"Starting WakeWord server...", 1}});
    return 0;
}

int unbindablePath() {
    // A directory with something in it cannot be removed before binding, so binding fails.
    std::error_code ec;
    if (!std::filesystem::create_directory(kTtsPath, ec)) {
        std::cout << "skipped: " << kTtsPath << " exists" << std::endl;
        return 0;
    }
    std::filesystem::create_directory(std::string(kTtsPath) + "/keep", ec);
    {
        Service service;
        REQUIRE(
            waitUntil([] { return log().count("Failed to bind socket for path /tmp/velantis_tts.sock") >= 20; }, 30s));
        requireStops(service, 30s);
    }
    std::filesystem::remove_all(kTtsPath, ec);
    REQUIRE(log().count("Starting Kokoro TTS server...") >= 20);
    requireCounts(
        {{"crashed", 0}, {"Kokoro TTS server thread has shut down.", 1}, {"WakeWord server thread has shut down.", 1}});
    return 0;
}

int crashRestart() {
    Service service(1);
    REQUIRE(log().waitFor(kTtsCrash, 0, 20s));
    auto crashed = std::chrono::steady_clock::now();
    // The other server serves during the pause.
    REQUIRE(waitUntil(wakeWordServerAnswers, 20s));
    long first = log().find("Starting Kokoro TTS server...");
    REQUIRE(first >= 0 && log().count("Starting Kokoro TTS server...") == 1);
    REQUIRE(log().waitFor("Starting Kokoro TTS server...", static_cast<size_t>(first) + 1, 20s));
    REQUIRE(std::chrono::steady_clock::now() - crashed > 4s);
    REQUIRE(waitUntil([] { return canConnect(kTtsPath); }, 20s));
    REQUIRE(velantis::sendTTSRequest("Back again."));
    requireStops(service);
    requireCounts({{"crashed", 1}, {"Starting WakeWord server...", 1}});
    return 0;
}

// The server thread cannot be created: a crash and a pause, not a rebuild (and model
// reload) at once.
int stopDuringPause() {
    Service service(3);
    REQUIRE(log().waitFor(kTtsCrash, 0, 20s));
    auto crashed = std::chrono::steady_clock::now();
    requireStops(service, 30s);
    REQUIRE(service.returnedAt() - crashed > 3s);
    requireCounts({{"Starting Kokoro TTS server...", 1},
                   {"Starting to load TTS model in the background...", 1},
                   {"crashed", 1},
                   {"Kokoro TTS server thread has shut down.", 1}});
    long failed = log().find("Failed to start the server thread for path /tmp/velantis_tts.sock");
    REQUIRE(failed >= 0 && failed < log().find(kTtsCrash));
    REQUIRE(log().find("Kokoro TTS server thread has shut down.") > log().find(kTtsCrash));
    return 0;
}

int startFails() {
    Service service(2);
    REQUIRE(service.waitReturned(20s));
    requireStoppedCleanly();
    requireCounts({{"Velantis Agent Service failed to start: Resource temporarily unavailable", 1},
                   {"Kokoro TTS server thread has shut down.", 1},
                   {"WakeWord server thread has shut down.", 0}});
    REQUIRE(::access(kTtsPath, F_OK) != 0);
    return 0;
}

int runScenario(const std::string& name) {
    static const std::map<std::string, int (*)()> scenarios{
        {"stop_before_start", stopBeforeStart},      {"full_run", fullRun},
        {"unbindable_path", unbindablePath},         {"crash_restart", crashRestart},
        {"stop_during_pause", stopDuringPause},      {"start_fails", startFails},
        {"second_start_refused", secondStartRefused}};
    auto it = scenarios.find(name);
    if (it == scenarios.end()) {
        std::cerr << "unknown scenario " << name << std::endl;
        return 2;
    }
    return it->second();
}

// ---------------------------------------------------------------------------------------
// The parent side.

void expectScenarioPasses(const std::string& scenario) {
    TempDir dir("service-supervisor", agent_rig::kRunDir);
    ProcessOptions o;
    o.argv = {"/proc/self/exe", "--scenario", scenario};
    o.cwd = dir.path();
    o.stdoutPath = dir / "stdout.txt";
    o.stderrPath = dir / "stderr.txt";
    Process child(o);
    const int status = child.wait(60s);
    child.kill();
    const std::string log = readFile(dir / "logs/basic-log.txt");
    EXPECT_EQ(status, 0) << "stdout:\n"
                         << child.out() << "\nstderr:\n"
                         << child.err().substr(0, 4000) << "\nlog (end):\n"
                         << log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
}

}  // namespace

TEST(ServiceSupervisor, StopBeforeStartAndTwice) { expectScenarioPasses("stop_before_start"); }
TEST(ServiceSupervisor, RunsServesAndStops) { expectScenarioPasses("full_run"); }
TEST(ServiceSupervisor, SecondStartWhileRunningIsRefused) { expectScenarioPasses("second_start_refused"); }
TEST(ServiceSupervisor, UnbindablePathRestartsUntilStop) { expectScenarioPasses("unbindable_path"); }
TEST(ServiceSupervisor, CrashedServerRestartsAfterPauseWhileTheOtherServes) { expectScenarioPasses("crash_restart"); }
TEST(ServiceSupervisor, StopDuringCrashPause) { expectScenarioPasses("stop_during_pause"); }
TEST(ServiceSupervisor, FailedStartLeavesNoThreadRunning) { expectScenarioPasses("start_fails"); }

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--scenario") {
        if (!test_support::enterPrivateTmp({})) std::cout << "note: using the real /tmp" << std::endl;
        log();  // the capture, before the service's threads log
        return runScenario(argv[2]);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
