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
#include <fstream>
#include <iostream>
#include <map>

#include "agent_service/velantis_agent_service.h"
#include "tests/agent_service/service_test_util.h"
#include "tests/support/private_tmp.h"
#include "tests/support/process.h"

using namespace service_test;
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

std::string logText() { return readFile("logs/basic-log.txt"); }
size_t logCount(const std::string& line) { return countOf(logText(), line); }
bool waitLog(const std::string& line, std::chrono::milliseconds timeout, size_t times = 1) {
    return waitUntil([&] { return logCount(line) >= times; }, timeout);
}

// Waits until `line` has appeared `times` times in the log, reading each byte only once
// (a restart loop writes the log fast).
bool waitLogStreaming(const std::string& line, std::chrono::milliseconds timeout, size_t times) {
    std::ifstream f("logs/basic-log.txt", std::ios::binary);
    std::string carry;
    size_t seen = 0;
    char chunk[1 << 16];
    return waitUntil(
        [&] {
            f.clear();
            while (f.read(chunk, sizeof(chunk)) || f.gcount() > 0) {
                std::string text = carry + std::string(chunk, static_cast<size_t>(f.gcount()));
                seen += countOf(text, line);
                size_t keep = std::min(text.size(), line.size() - 1);
                carry = text.substr(text.size() - keep);
                if (seen >= times) return true;
            }
            return seen >= times;
        },
        timeout);
}

bool canConnect(const char* path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return ok;
}

// The wake-word server greets a new client with its initial state.
bool wakeWordServerAnswers() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kWakePath, sizeof(addr.sun_path) - 1);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    Request r;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && recvMsg(fd, r) &&
              r.header.type == WAKEWORD_STATE && r.payload.substr(2, 14) == std::string("initial_state\0", 14);
    ::close(fd);
    return ok;
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

int stopBeforeStart() {
    velantis::stopService();
    velantis::startService();
    requireStoppedCleanly();
    velantis::stopService();
    velantis::startService();
    requireStoppedCleanly();
    std::string text = logText();
    REQUIRE(countOf(text, "Stopping Velantis Agent Service...") == 2);
    REQUIRE(countOf(text, "Starting Velantis Agent Service...") == 2);
    REQUIRE(countOf(text, "All services are running with auto-restart enabled.") == 2);
    REQUIRE(countOf(text, "Kokoro TTS server thread has shut down.") == 2);
    REQUIRE(countOf(text, "WakeWord server thread has shut down.") == 2);
    REQUIRE(countOf(text, "Velantis Agent Service stopped.") == 2);
    REQUIRE(countOf(text, "Starting Kokoro TTS server...") == 0);
    REQUIRE(countOf(text, "Starting WakeWord server...") == 0);
    // Each start: its two lines, both shut-down lines, then the stop line.
    size_t start = text.find("Starting Velantis Agent Service...");
    size_t running = text.find("All services are running with auto-restart enabled.", start);
    size_t stopped = text.find("Velantis Agent Service stopped.", running);
    REQUIRE(start != std::string::npos && running != std::string::npos && stopped != std::string::npos);
    size_t tts = text.find("Kokoro TTS server thread has shut down.", start);
    size_t wake = text.find("WakeWord server thread has shut down.", start);
    REQUIRE(tts < stopped && wake < stopped);
    return 0;
}

int fullRun() {
    Service service;
    REQUIRE(waitUntil([] { return canConnect(kTtsPath) && canConnect(kWakePath); }, 20s));
    std::atomic<bool> listened{false};
    std::thread listener([&] { listened = velantis::listenWakeWord(nullptr); });
    REQUIRE(velantis::sendTTSRequest("Hello there."));
    REQUIRE(waitLog("Connected to wake word server", 10s));
    velantis::stopWakeWordListening();
    listener.join();
    REQUIRE(listened.load());

    velantis::stopService();
    REQUIRE(service.waitReturned(20s));
    requireStoppedCleanly();
    REQUIRE(!canConnect(kTtsPath) && !canConnect(kWakePath));
    REQUIRE(::access(kTtsPath, F_OK) != 0 && ::access(kWakePath, F_OK) != 0);
    std::string text = logText();
    REQUIRE(countOf(text, "Starting Kokoro TTS server...") == 1);
    REQUIRE(countOf(text, "Starting WakeWord server...") == 1);
    REQUIRE(countOf(text, "Kokoro TTS server thread has shut down.") == 1);
    REQUIRE(countOf(text, "WakeWord server thread has shut down.") == 1);
    REQUIRE(countOf(text, "crashed") == 0);

    // The flag stays set: a second start returns at once.
    auto t0 = std::chrono::steady_clock::now();
    velantis::startService();
    REQUIRE(std::chrono::steady_clock::now() - t0 < 5s);
    requireStoppedCleanly();
    REQUIRE(logCount("Velantis Agent Service stopped.") == 2);
    REQUIRE(logCount("Starting Kokoro TTS server...") == 1);
    return 0;
}

int secondStartRefused() {
    Service service;
    REQUIRE(waitUntil([] { return canConnect(kTtsPath) && canConnect(kWakePath); }, 20s));
    auto t0 = std::chrono::steady_clock::now();
    velantis::startService();  // the first call still runs: refused at once
    REQUIRE(std::chrono::steady_clock::now() - t0 < 5s);
    REQUIRE(logCount("Velantis Agent Service is already running.") == 1);
    REQUIRE(logCount("Starting Velantis Agent Service...") == 1);
    REQUIRE(canConnect(kTtsPath) && canConnect(kWakePath));

    velantis::stopService();
    velantis::stopService();  // a second stop only logs again
    REQUIRE(service.waitReturned(20s));
    requireStoppedCleanly();
    std::string text = logText();
    REQUIRE(countOf(text, "Stopping Velantis Agent Service...") == 2);
    REQUIRE(countOf(text, "Velantis Agent Service stopped.") == 1);
    REQUIRE(countOf(text, "Kokoro TTS server thread has shut down.") == 1);
    REQUIRE(countOf(text, "WakeWord server thread has shut down.") == 1);
    REQUIRE(countOf(text, "Starting Kokoro TTS server...") == 1);
    REQUIRE(countOf(text, "Starting WakeWord server...") == 1);
    return 0;
}

int unbindablePath() {
    // A directory with something in it cannot be removed before binding, so binding fails.
    std::error_code ec;
    bool made = std::filesystem::create_directory(kTtsPath, ec);
    if (!made) {
        std::cout << "skipped: " << kTtsPath << " exists" << std::endl;
        return 0;
    }
    std::filesystem::create_directory(std::string(kTtsPath) + "/keep", ec);
    {
        Service service;
        REQUIRE(waitLogStreaming("Failed to bind socket for path /tmp/velantis_tts.sock", 30s, 20));
        velantis::stopService();
        REQUIRE(service.waitReturned(30s));
    }
    std::filesystem::remove_all(kTtsPath, ec);
    requireStoppedCleanly();
    std::string text = logText();
    REQUIRE(countOf(text, "crashed") == 0);
    REQUIRE(countOf(text, "Starting Kokoro TTS server...") >= 20);
    REQUIRE(countOf(text, "Kokoro TTS server thread has shut down.") == 1);
    REQUIRE(countOf(text, "WakeWord server thread has shut down.") == 1);
    return 0;
}

const char* const kTtsCrash = "KokoroTtsServer crashed: Resource temporarily unavailable. Restarting in 5 seconds...";

int crashRestart() {
    Service service(1);
    REQUIRE(waitLog(kTtsCrash, 20s));
    auto crashed = std::chrono::steady_clock::now();
    // The other server serves during the pause.
    REQUIRE(waitUntil(wakeWordServerAnswers, 20s));
    REQUIRE(logCount("Starting Kokoro TTS server...") == 1);
    REQUIRE(waitLog("Starting Kokoro TTS server...", 20s, 2));
    REQUIRE(std::chrono::steady_clock::now() - crashed > 4s);
    REQUIRE(waitUntil([] { return canConnect(kTtsPath); }, 20s));
    REQUIRE(velantis::sendTTSRequest("Back again."));
    velantis::stopService();
    REQUIRE(service.waitReturned(20s));
    requireStoppedCleanly();
    REQUIRE(logCount("crashed") == 1);
    REQUIRE(logCount("Starting WakeWord server...") == 1);
    return 0;
}

// The server thread cannot be created: a crash and a pause, not a rebuild (and model
// reload) at once.
int stopDuringPause() {
    Service service(3);
    REQUIRE(waitLog(kTtsCrash, 20s));
    auto crashed = std::chrono::steady_clock::now();
    velantis::stopService();
    REQUIRE(service.waitReturned(30s));
    REQUIRE(service.returnedAt() - crashed > 3s);
    requireStoppedCleanly();
    std::string text = logText();
    REQUIRE(countOf(text, "Starting Kokoro TTS server...") == 1);
    REQUIRE(countOf(text, "Starting to load TTS model in the background...") == 1);
    size_t failed = text.find("Failed to start the server thread for path /tmp/velantis_tts.sock");
    REQUIRE(failed != std::string::npos && failed < text.find(kTtsCrash));
    REQUIRE(countOf(text, "crashed") == 1);
    REQUIRE(countOf(text, "Kokoro TTS server thread has shut down.") == 1);
    REQUIRE(text.find("Kokoro TTS server thread has shut down.") > text.find(kTtsCrash));
    return 0;
}

int startFails() {
    Service service(2);
    REQUIRE(service.waitReturned(20s));
    requireStoppedCleanly();
    REQUIRE(logCount("Velantis Agent Service failed to start: Resource temporarily unavailable") == 1);
    REQUIRE(logCount("Kokoro TTS server thread has shut down.") == 1);
    REQUIRE(logCount("WakeWord server thread has shut down.") == 0);
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

struct ChildResult {
    int status = -1;
    std::string out, err, log;
};

ChildResult runChild(const std::string& scenario, std::chrono::seconds timeout = 60s) {
    test_support::TempDir dir("service-supervisor", agent_rig::kRunDir);
    test_support::ProcessOptions o;
    o.argv = {"/proc/self/exe", "--scenario", scenario};
    o.cwd = dir.path();
    o.stdoutPath = dir.path() + "/stdout.txt";
    o.stderrPath = dir.path() + "/stderr.txt";
    test_support::Process child(o);
    ChildResult result;
    result.status = child.wait(timeout);
    child.kill();
    result.out = child.out();
    result.err = child.err();
    result.log = readFile(dir.path() + "/logs/basic-log.txt");
    return result;
}

void expectScenarioPasses(const std::string& scenario) {
    ChildResult r = runChild(scenario);
    EXPECT_EQ(r.status, 0) << "stdout:\n"
                           << r.out << "\nstderr:\n"
                           << r.err.substr(0, 4000) << "\nlog (end):\n"
                           << r.log.substr(r.log.size() > 6000 ? r.log.size() - 6000 : 0);
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
        return runScenario(argv[2]);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
