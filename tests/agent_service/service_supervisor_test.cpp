// The service supervisor through the real library, each case in a child process.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "agent_service/velantis_agent_service.h"
#include "tests/agent_service/service_test_util.h"
#include "tests/rig/agent/agent_runner.h"
#include "tests/support/files.h"
#include "tests/support/framed_client.h"
#include "tests/support/private_tmp.h"
#include "tests/support/process.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

using namespace test_support;
using namespace std::chrono_literals;

// Thread-creation failures on demand, as when the system runs out of threads: the n-th
// thread that the caller of startService creates (its first is the speech supervisor), or
// the n-th that the speech supervisor creates (its first loads the model in the
// background, its second runs the server), fails. 0: none.
namespace {
std::atomic<int> s_fail_host{0}, s_fail_speech{0}, s_host_creations{0}, s_speech_creations{0};
thread_local bool t_host = false, t_speech_supervisor = false;

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
    if (t_host) {
        const int n = ++s_host_creations;
        if (n == s_fail_host) return EAGAIN;
        if (n == 1) {
            auto* t = new Trampoline{fn, arg};
            const int rc = real(thread, attr, speechSupervisorStart, t);
            if (rc != 0) delete t;
            return rc;
        }
    } else if (t_speech_supervisor && ++s_speech_creations == s_fail_speech) {
        return EAGAIN;
    }
    return real(thread, attr, fn, arg);
}

namespace {

const char* const kTtsPath = "/tmp/velantis_tts.sock";
const char* const kWakePath = "/tmp/velantis_wakeword.sock";
const char* const kTtsCrash = "KokoroTtsServer crashed: Resource temporarily unavailable. Restarting in 5 seconds...";
const char* const kChild = "VELANTIS_SUPERVISOR_CHILD";

// Each line logged exactly this many times.
void expectCounts(std::initializer_list<std::pair<const char*, size_t>> counts) {
    for (const auto& [line, times] : counts) EXPECT_EQ(processLog().count(line), times) << line;
}

bool canConnect(const char* path) { return FramedClient().connectTo(path) == 0; }
bool bothServe() { return canConnect(kTtsPath) && canConnect(kWakePath); }

// The wake-word server greets a new client with its initial state.
bool wakeWordServerAnswers() {
    FramedClient c;
    if (c.connectTo(kWakePath) != 0) return false;
    auto m = c.readMessage(5s);
    return m && m->first.type == WAKEWORD_STATE && m->second.size() == 66 &&
           std::string(m->second.begin() + 2, m->second.begin() + 16) == std::string("initial_state\0", 14);
}

// Runs startService on a thread of its own, as a host does.
struct Service {
    std::atomic<bool> returned{false};
    std::chrono::steady_clock::time_point returnedAt;
    std::thread thread;

    explicit Service(int fail_host = 0, int fail_speech = 0)
        : thread([this, fail_host, fail_speech] {
              t_host = true;
              s_fail_host = fail_host;
              s_fail_speech = fail_speech;
              velantis::startService();
              returnedAt = std::chrono::steady_clock::now();
              returned = true;
          }) {}
    ~Service() {
        if (!returned) velantis::stopService();  // a failed check left it running
        thread.join();
    }
    bool waitReturned(std::chrono::milliseconds timeout) {
        return waitUntil([&] { return returned.load(); }, timeout);
    }
};

void expectStoppedCleanly() {
    EXPECT_FALSE(g_tts_thread.joinable());
    EXPECT_FALSE(g_wakeword_thread.joinable());
    EXPECT_TRUE(g_shutdown_requested.load());
}

// The service stops and its start returns within `timeout`.
void expectStops(Service& service, std::chrono::milliseconds timeout = 20s) {
    velantis::stopService();
    EXPECT_TRUE(service.waitReturned(timeout));
    expectStoppedCleanly();
}

// The service runs at most once per process: each test runs in a child process of its own
// (this program again, filtered to the test), in a temporary working directory that receives
// its log. True in the child, which runs the test; the parent checks that the child passed,
// and reports a skip in the child as its own.
bool inChild() {
    if (std::getenv(kChild) != nullptr) return true;
    TempDir dir("service-supervisor", agent_rig::kRunDir);
    ProcessOptions o;
    o.argv = {"/proc/self/exe", std::string("--gtest_filter=ServiceSupervisor.") +
                                    ::testing::UnitTest::GetInstance()->current_test_info()->name()};
    o.env = {std::string(kChild) + "=1"};
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
    if (status == 0 && child.out().find("[  SKIPPED ]") != std::string::npos) [] { GTEST_SKIP() << "in the child"; }();
    return false;
}

}  // namespace

TEST(ServiceSupervisor, StopBeforeStartAndTwice) {
    if (!inChild()) return;
    for (int i = 0; i < 2; ++i) {
        velantis::stopService();
        velantis::startService();
        expectStoppedCleanly();
    }
    expectCounts({{"Stopping Velantis Agent Service...", 2},
                  {"Starting Velantis Agent Service...", 2},
                  {"All services are running with auto-restart enabled.", 2},
                  {"Kokoro TTS server thread has shut down.", 2},
                  {"WakeWord server thread has shut down.", 2},
                  {"Velantis Agent Service stopped.", 2},
                  {"Starting Kokoro TTS server...", 0},
                  {"Starting WakeWord server...", 0}});
    // Each start: its two lines, both shut-down lines, then the stop line.
    long start = processLog().find("Starting Velantis Agent Service...");
    long running = processLog().find("All services are running with auto-restart enabled.", start);
    long stopped = processLog().find("Velantis Agent Service stopped.", running);
    ASSERT_TRUE(start >= 0 && running > start && stopped > running);
    EXPECT_LT(processLog().find("Kokoro TTS server thread has shut down.", start), stopped);
    EXPECT_LT(processLog().find("WakeWord server thread has shut down.", start), stopped);
}

TEST(ServiceSupervisor, RunsServesAndStops) {
    if (!inChild()) return;
    Service service;
    ASSERT_TRUE(waitUntil(bothServe, 20s));
    std::atomic<bool> listened{false};
    std::thread listener([&] { listened = velantis::listenWakeWord(nullptr); });
    EXPECT_TRUE(velantis::sendTTSRequest("Hello there."));
    EXPECT_TRUE(processLog().waitFor("Connected to wake word server", 0, 10s));
    velantis::stopWakeWordListening();
    listener.join();
    EXPECT_TRUE(listened.load());

    expectStops(service);
    EXPECT_TRUE(!canConnect(kTtsPath) && !canConnect(kWakePath));
    EXPECT_TRUE(::access(kTtsPath, F_OK) != 0 && ::access(kWakePath, F_OK) != 0);
    expectCounts({{"Starting Kokoro TTS server...", 1},
                  {"Starting WakeWord server...", 1},
                  {"Kokoro TTS server thread has shut down.", 1},
                  {"WakeWord server thread has shut down.", 1},
                  {"crashed", 0}});

    // The flag stays set: a second start returns at once.
    auto t0 = std::chrono::steady_clock::now();
    velantis::startService();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    expectStoppedCleanly();
    expectCounts({{"Velantis Agent Service stopped.", 2}, {"Starting Kokoro TTS server...", 1}});
}

TEST(ServiceSupervisor, SecondStartWhileRunningIsRefused) {
    if (!inChild()) return;
    Service service;
    ASSERT_TRUE(waitUntil(bothServe, 20s));
    auto t0 = std::chrono::steady_clock::now();
    velantis::startService();  // the first call still runs: refused at once
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    expectCounts({{"Velantis Agent Service is already running.", 1}, {"Starting Velantis Agent Service...", 1}});
    EXPECT_TRUE(bothServe());

    velantis::stopService();  // and once more below: a second stop only logs again
    expectStops(service);
    expectCounts({{"Stopping Velantis Agent Service...", 2},
                  {"Velantis Agent Service stopped.", 1},
                  {"Kokoro TTS server thread has shut down.", 1},
                  {"WakeWord server thread has shut down.", 1},
                  {"Starting Kokoro TTS server...", 1},
                  {"Starting WakeWord server...", 1}});
}

TEST(ServiceSupervisor, UnbindablePathRestartsUntilStop) {
    if (!inChild()) return;
    // A directory with something in it cannot be removed before binding, so binding fails.
    std::error_code ec;
    if (!std::filesystem::create_directory(kTtsPath, ec)) GTEST_SKIP() << kTtsPath << " exists";
    std::filesystem::create_directory(std::string(kTtsPath) + "/keep", ec);
    {
        Service service;
        EXPECT_TRUE(waitUntil(
            [] { return processLog().count("Failed to bind socket for path /tmp/velantis_tts.sock") >= 20; }, 30s));
        expectStops(service, 30s);
    }
    std::filesystem::remove_all(kTtsPath, ec);
    EXPECT_GE(processLog().count("Starting Kokoro TTS server..."), 20u);
    expectCounts(
        {{"crashed", 0}, {"Kokoro TTS server thread has shut down.", 1}, {"WakeWord server thread has shut down.", 1}});
}

TEST(ServiceSupervisor, CrashedServerRestartsAfterPauseWhileTheOtherServes) {
    if (!inChild()) return;
    Service service(0, 1);
    ASSERT_TRUE(processLog().waitFor(kTtsCrash, 0, 20s));
    auto crashed = std::chrono::steady_clock::now();
    // The other server serves during the pause.
    EXPECT_TRUE(waitUntil(wakeWordServerAnswers, 20s));
    long first = processLog().find("Starting Kokoro TTS server...");
    ASSERT_GE(first, 0);
    EXPECT_EQ(processLog().count("Starting Kokoro TTS server..."), 1u);
    ASSERT_TRUE(processLog().waitFor("Starting Kokoro TTS server...", static_cast<size_t>(first) + 1, 20s));
    EXPECT_GT(std::chrono::steady_clock::now() - crashed, 4s);
    ASSERT_TRUE(waitUntil([] { return canConnect(kTtsPath); }, 20s));
    EXPECT_TRUE(velantis::sendTTSRequest("Back again."));
    expectStops(service);
    expectCounts({{"crashed", 1}, {"Starting WakeWord server...", 1}});
}

// The server thread cannot be created: a crash and a pause, not a rebuild (and model
// reload) at once.
TEST(ServiceSupervisor, StopDuringCrashPause) {
    if (!inChild()) return;
    Service service(0, 2);
    ASSERT_TRUE(processLog().waitFor(kTtsCrash, 0, 20s));
    auto crashed = std::chrono::steady_clock::now();
    expectStops(service, 30s);
    EXPECT_GT(service.returnedAt - crashed, 3s);
    expectCounts({{"Starting Kokoro TTS server...", 1},
                  {"Starting to load TTS model in the background...", 1},
                  {"crashed", 1},
                  {"Kokoro TTS server thread has shut down.", 1}});
    service_test::expectInOrder(processLog(), 0,
                                {"Failed to start the server thread for path /tmp/velantis_tts.sock", kTtsCrash,
                                 "Kokoro TTS server thread has shut down."});
}

TEST(ServiceSupervisor, FailedStartLeavesNoThreadRunning) {
    if (!inChild()) return;
    Service service(2);
    ASSERT_TRUE(service.waitReturned(20s));
    expectStoppedCleanly();
    expectCounts({{"Velantis Agent Service failed to start: Resource temporarily unavailable", 1},
                  {"Kokoro TTS server thread has shut down.", 1},
                  {"WakeWord server thread has shut down.", 0}});
    EXPECT_NE(::access(kTtsPath, F_OK), 0);
}

int main(int argc, char** argv) {
    if (std::getenv(kChild) != nullptr) {
        if (!enterPrivateTmp({})) std::cout << "note: using the real /tmp" << std::endl;
        processLog();  // the capture, before the service's threads log
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
