// The wake-word server on "/tmp/velantis_wakeword.sock": in this process without a board,
// and as a process of its own whose "/dev/ttyACM0" is a pseudo-terminal board.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "agent_service/wakeword_server.h"
#include "tests/rig/board/board_rig.h"
#include "tests/support/files.h"
#include "tests/support/framed_client.h"
#include "tests/support/process.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;
using test_support::FramedClient;

constexpr const char* kSocket = "/tmp/velantis_wakeword.sock";

// Reads the initial state message and checks every byte of it.
void expectInitialState(FramedClient& c) {
    auto h = c.readHeader(seconds(10));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->type, 1002u);
    EXPECT_EQ(h->length, 66u);
    EXPECT_EQ(h->id, 0u);
    auto p = c.readBytes(66, seconds(10));
    ASSERT_TRUE(p);
    std::vector<uint8_t> want(66, 0);
    std::memcpy(want.data() + 2, "initial_state", 13);
    EXPECT_EQ(*p, want);
}

void expectAck(FramedClient& c) {
    auto h = c.readHeader(seconds(10));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->type, 1004u);
    EXPECT_EQ(h->length, 0u);
    EXPECT_EQ(h->id, 0u);
}

void expectEvent(FramedClient& c, double angle, int32_t beam) {
    auto h = c.readHeader(seconds(10));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->type, 1001u);
    EXPECT_EQ(h->length, 17u);
    EXPECT_EQ(h->id, 0u);
    auto p = c.readBytes(17, seconds(10));
    ASSERT_TRUE(p);
    std::vector<uint8_t> want(17);
    const float confidence = 0.9f;
    std::memcpy(want.data(), &angle, 8);
    std::memcpy(want.data() + 8, &beam, 4);
    std::memcpy(want.data() + 12, &confidence, 4);
    want[16] = 1;
    EXPECT_EQ(*p, want);
}

// Every type, with and without payload, gets exactly one ACK.
void expectAcksForEveryType(FramedClient& c) {
    const std::vector<uint32_t> types = {1001, 1002, 1003, 1004, 2001, 9001, 4242};
    for (uint32_t t : types) {
        ASSERT_TRUE(c.send(t, 0, {}));
        ASSERT_TRUE(c.send(t, 99, std::vector<uint8_t>(17, 0x5A)));
    }
    for (size_t i = 0; i < 2 * types.size(); ++i) expectAck(c);
    EXPECT_TRUE(c.quietFor(milliseconds(100)));
}

TEST(SpeechWakeWordServer, ServesWithoutABoardAndBroadcastsToEveryClient) {
    if (fs::exists("/dev/ttyACM0")) GTEST_SKIP() << "a board is attached here";
    auto log = &test_support::processLog();
    size_t mark = log->size();
    {
        WakeWordServer server;
        ASSERT_TRUE(server.start());
        EXPECT_GE(log->count("Orvanite initialized successfully", mark), 1u);
        // The link finds no port and ends; the server goes on serving.
        ASSERT_TRUE(log->waitFor("open port /dev/ttyACM0 failed", mark));
        server.onWakeWordDetected(10.0, 1);  // nobody connected: logged, sent to nobody
        EXPECT_EQ(log->count("Wake word event broadcasted", mark), 1u);

        FramedClient a(kSocket, std::chrono::seconds(10)), b(kSocket, std::chrono::seconds(10));
        ASSERT_TRUE(a.connected() && b.connected());
        expectInitialState(a);
        expectInitialState(b);
        expectAcksForEveryType(a);

        server.onWakeWordDetected(90.5, 2);
        expectEvent(a, 90.5, 2);
        expectEvent(b, 90.5, 2);
        EXPECT_EQ(log->count("Wake word detected: angle=90.50, beam=2", mark), 1u);
        EXPECT_EQ(log->count("Wake word event broadcasted", mark), 2u);

        // A 70-byte reason goes out as its first 63 bytes and a zero.
        const std::string reason(70, 'r');
        server.broadcastStateChange(0, 1, reason.c_str());
        for (FramedClient* c : {&a, &b}) {
            auto h = c->readHeader(seconds(10));
            ASSERT_TRUE(h);
            EXPECT_EQ(h->type, 1002u);
            EXPECT_EQ(h->length, 66u);
            auto p = c->readBytes(66, seconds(10));
            ASSERT_TRUE(p);
            EXPECT_EQ((*p)[0], 0);
            EXPECT_EQ((*p)[1], 1);
            EXPECT_EQ(std::string(p->begin() + 2, p->begin() + 65), std::string(63, 'r'));
            EXPECT_EQ((*p)[65], 0);
        }
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
        FramedClient c(kSocket, std::chrono::seconds(10));
        ASSERT_TRUE(c.connected());
        expectInitialState(c);
        expectAcksForEveryType(c);
    }
    EXPECT_EQ(log->count("New Thread: init_orvanite", second), 0u);
    EXPECT_EQ(log->count("WakeWord Server destroyed", second), 1u);
    EXPECT_FALSE(fs::exists(kSocket));
}

TEST(SpeechWakeWordServer, BoardWakeUpsReachEveryClientAndSurviveARestart) {
    if (!test_support::canFakeTtyacm0()) GTEST_SKIP() << "needs root for a private /dev/ttyACM0";
    test_support::TempDir dir("speech-wakeword");
    board_rig::PtyBoard board;
    test_support::ProcessOptions o;
    o.argv = board_rig::ttyacm0_command(board.slave_path(), {SPEECH_WAKEWORD_HOST});
    o.cwd = dir.path();
    o.stdoutPath = o.stderrPath = dir.path() + "/host.out";
    test_support::Process host(o);
    const std::string log = dir.path() + "/logs/basic-log.txt";
    ASSERT_TRUE(host.waitOutput("started", seconds(20))) << host.out();
    ASSERT_TRUE(board.wait_raw());

    {
        FramedClient a(kSocket, std::chrono::seconds(10)), b(kSocket, std::chrono::seconds(10));
        ASSERT_TRUE(a.connected() && b.connected());
        expectInitialState(a);
        expectInitialState(b);
        expectAcksForEveryType(b);

        ASSERT_TRUE(board.write(board_rig::wakeup(90.5, 2)));
        expectEvent(a, 90.5, 2);
        expectEvent(b, 90.5, 2);
        EXPECT_TRUE(test_support::waitUntil(
            [&] {
                return test_support::countOf(test_support::readFile(log), "Wake word detected: angle=90.50, beam=2");
            },
            seconds(20)));
    }

    // A fresh server in the same process serves the link that is still reading.
    host.signal(SIGUSR1);
    ASSERT_TRUE(host.waitOutput("restarted", seconds(20))) << host.out();
    {
        FramedClient c(kSocket, std::chrono::seconds(10));
        ASSERT_TRUE(c.connected());
        expectInitialState(c);
        std::this_thread::sleep_for(milliseconds(1100));  // the link pauses 1 s after a wake-up
        ASSERT_TRUE(board.write(board_rig::wakeup(-30.25, 5)));
        expectEvent(c, -30.25, 5);
    }

    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(seconds(20)), 0) << host.out();
    EXPECT_NE(test_support::readFile(log).find("Server stopped for path: /tmp/velantis_wakeword.sock"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(kSocket));
}

}  // namespace
