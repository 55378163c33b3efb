// The wake-word server on "/tmp/velantis_wakeword.sock": in this process without a board,
// and in this program started again with --host, whose "/dev/ttyACM0" is a pseudo-terminal
// board. The host replaces its server by a fresh one on SIGUSR1; SIGTERM stops it.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "agent_service/wakeword_server.h"
#include "tests/agent_service/service_test_util.h"
#include "tests/rig/board/board_rig.h"
#include "tests/support/files.h"
#include "tests/support/framed_client.h"
#include "tests/support/process.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace test_support;
using namespace std::chrono_literals;

constexpr const char* kSocket = "/tmp/velantis_wakeword.sock";

// The next message has this type, id 0 and exactly this payload.
void expectMessage(FramedClient& c, uint32_t type, const std::vector<uint8_t>& payload = {}) {
    auto h = c.readHeader(10s);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->type, type);
    EXPECT_EQ(h->length, payload.size());
    EXPECT_EQ(h->id, 0u);
    EXPECT_EQ(c.readBytes(h->length, 10s), payload);
}

// A client of the server, greeted with the initial state.
FramedClient greeted() {
    FramedClient c(kSocket, 10s);
    EXPECT_TRUE(c.connected());
    expectMessage(c, 1002, service_test::statePayload(0, 0, "initial_state"));
    return c;
}
void expectEvent(FramedClient& c, double angle, int32_t beam) {
    expectMessage(c, 1001, service_test::eventPayload(angle, beam, true));
}

// Every type, with and without payload, gets exactly one ACK.
void expectAcksForEveryType(FramedClient& c) {
    const std::vector<uint32_t> types = {1001, 1002, 1003, 1004, 2001, 9001, 4242};
    for (uint32_t t : types) {
        ASSERT_TRUE(c.send(t, 0, {}));
        ASSERT_TRUE(c.send(t, 99, std::vector<uint8_t>(17, 0x5A)));
    }
    for (size_t i = 0; i < 2 * types.size(); ++i) expectMessage(c, 1004);
    EXPECT_TRUE(c.quietFor(100ms));
}

TEST(SpeechWakeWordServer, ServesWithoutABoardAndBroadcastsToEveryClient) {
    if (fs::exists("/dev/ttyACM0")) GTEST_SKIP() << "a board is attached here";
    LogCapture* log = &processLog();
    size_t mark = log->size();
    {
        WakeWordServer server;
        ASSERT_TRUE(server.start());
        EXPECT_GE(log->count("Orvanite initialized successfully", mark), 1u);
        // The link finds no port and ends; the server goes on serving.
        ASSERT_TRUE(log->waitFor("open port /dev/ttyACM0 failed", mark));
        server.onWakeWordDetected(10.0, 1);  // nobody connected: logged, sent to nobody
        EXPECT_EQ(log->count("Wake word event broadcasted", mark), 1u);

        FramedClient a = greeted(), b = greeted();
        expectAcksForEveryType(a);

        server.onWakeWordDetected(90.5, 2);
        for (FramedClient* c : {&a, &b}) expectEvent(*c, 90.5, 2);
        EXPECT_EQ(log->count("Wake word detected: angle=90.50, beam=2", mark), 1u);
        EXPECT_EQ(log->count("Wake word event broadcasted", mark), 2u);

        // A 70-byte reason goes out as its first 63 bytes and a zero.
        const std::string reason(70, 'r');
        server.broadcastStateChange(0, 1, reason.c_str());
        for (FramedClient* c : {&a, &b})
            expectMessage(*c, 1002, service_test::statePayload(0, 1, std::string(63, 'r')));
        EXPECT_EQ(log->count("State change broadcasted: 0 -> 1 (" + reason + ")", mark), 1u);
        server.stop();
        EXPECT_FALSE(fs::exists(kSocket));
    }
    // A later server of this process starts no second link and still serves; destroying it
    // while it runs is safe.
    size_t second = log->size();
    {
        WakeWordServer again;
        ASSERT_TRUE(again.start());
        FramedClient c = greeted();
        expectAcksForEveryType(c);
    }
    EXPECT_EQ(log->count("New Thread: init_orvanite", second), 0u);
    EXPECT_EQ(log->count("WakeWord Server destroyed", second), 1u);
    EXPECT_FALSE(fs::exists(kSocket));
}

TEST(SpeechWakeWordServer, BoardWakeUpsReachEveryClientAndSurviveARestart) {
    if (!canFakeTtyacm0()) GTEST_SKIP() << "needs root for a private /dev/ttyACM0";
    TempDir dir("speech-wakeword");
    board_rig::PtyBoard board;
    ProcessOptions o;
    o.argv = board_rig::ttyacm0_command(board.slave_path(), {fs::read_symlink("/proc/self/exe"), "--host"});
    o.cwd = dir.path();
    o.stdoutPath = o.stderrPath = dir.path() + "/host.out";
    Process host(o);
    const std::string log = dir.path() + "/logs/basic-log.txt";
    ASSERT_TRUE(host.waitOutput("started", 20s)) << host.out();
    ASSERT_TRUE(board.wait_raw());

    {
        FramedClient a = greeted(), b = greeted();
        expectAcksForEveryType(b);

        ASSERT_TRUE(board.write(board_rig::wakeup(90.5, 2)));
        for (FramedClient* c : {&a, &b}) expectEvent(*c, 90.5, 2);
        EXPECT_TRUE(
            waitUntil([&] { return countOf(readFile(log), "Wake word detected: angle=90.50, beam=2") > 0; }, 20s));
    }

    // A fresh server in the same process serves the link that is still reading.
    host.signal(SIGUSR1);
    ASSERT_TRUE(host.waitOutput("restarted", 20s)) << host.out();
    {
        FramedClient c = greeted();
        // Written during the link's 1-s pause after a wake-up: read when the pause ends.
        ASSERT_TRUE(board.write(board_rig::wakeup(-30.25, 5)));
        expectEvent(c, -30.25, 5);
    }

    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(20s), 0) << host.out();
    EXPECT_GE(countOf(readFile(log), "Server stopped for path: /tmp/velantis_wakeword.sock"), 1u);
    EXPECT_FALSE(fs::exists(kSocket));
}

// The host: prints "started", "restarted" after each SIGUSR1, and exits 0 on SIGTERM.
int runHost() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // inherited by every thread started below
    std::unique_ptr<WakeWordServer> server;
    auto start = [&](const std::string& what) {  // prints "<what>ed" or "<what> failed"
        server = std::make_unique<WakeWordServer>();
        std::printf("%s\n", (what + (server->start() ? "ed" : " failed")).c_str());
        std::fflush(stdout);
    };
    start("start");
    for (int sig = 0; sig != SIGTERM;) {
        if (sigwait(&set, &sig) != 0 || sig != SIGUSR1) continue;
        server->stop();
        server.reset();  // destroyed before the next is built
        start("restart");
    }
    server->stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--host") return runHost();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
