// The standalone fake_cloud program, driven by the WebSocket client: script, port file and log.
#include "tests/agent/websocket_recorder.h"
#include "tests/rig/cloud/ogg_opus.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>

#include "tests/support/build_dirs.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

using namespace std::chrono_literals;
using namespace websocket_recorder;

namespace {

using test_support::readFile;
using test_support::waitUntil;

class FakeCloudProcess : public ::testing::Test {
protected:
    void TearDown() override {
        if (cloud_.pid() > 0) {
            cloud_.signal(SIGTERM);
            EXPECT_EQ(cloud_.wait(20s), 0);
        }
    }

    // Runs fake_cloud with the arguments; returns its exit code when it ends within the
    // timeout, -1 while it still runs.
    int run(const std::vector<std::string>& args, std::chrono::milliseconds wait = 0ms) {
        test_support::ProcessOptions o;
        o.argv = {test_support::binaryDir() + "/bin/fake_cloud"};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.stdoutPath = o.stderrPath = "/dev/null";
        if (!cloud_.start(o)) return -2;
        return wait.count() > 0 ? cloud_.wait(wait) : -1;
    }

    test_support::TempDir dir_{"fake_cloud_test"};
    test_support::Process cloud_;
};

TEST_F(FakeCloudProcess, RunsItsScriptAndLogsWhatItSaw) {
    std::ofstream(dir_ / "script") << "# answer the hello\n"
                                      "hello: text {\"type\":\"stt\",\"text\":\"你好\"}\n"
                                      "\n"
                                      "hello: opus 0.5 400 2000\n"
                                      "hello: ping hi\n"
                                      "binary#2: close 4000 that is all\n";
    ASSERT_EQ(run({"--certs", dir_ / "certs", "--port-file", dir_ / "port", "--log", dir_ / "log", "--auth", kToken,
                   "--script", dir_ / "script"}),
              -1);
    ASSERT_TRUE(waitUntil([&] { return !readFile(dir_ / "port").empty(); }, 20s));
    int port = std::stoi(readFile(dir_ / "port"));
    // The program made the certificates; the client trusts its CA through SSL_CERT_FILE
    // (set before the first connection of this test program, while it runs no other thread).
    setenv("SSL_CERT_FILE", (dir_ / "certs/ca.pem").c_str(), 1);

    WebSocket ws;
    Recorder rec;
    start(ws, "wss://localhost:" + std::to_string(port) + "/embodied/tolvane/v1/?device-id=a", rec,
          [&](const WebSocketMessagePtr& msg) {
              if (msg->type == WebSocketMessageType::Open) ws.send("{\"type\":\"hello\",\"token\":\"bravo_key92\"}");
          });
    ASSERT_TRUE(rec.waitFor(WebSocketMessageType::Ping, 1, 20s));
    ws.send("p1", true);
    ws.send("p2", true);
    ASSERT_TRUE(rec.waitFor(WebSocketMessageType::Close, 1, 20s));
    ws.stop();

    EXPECT_EQ(rec.of(WebSocketMessageType::Close).at(0).closeInfo.code, 4000);
    EXPECT_EQ(rec.of(WebSocketMessageType::Close).at(0).closeInfo.reason, "that is all");
    const auto msgs = rec.of(WebSocketMessageType::Message);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].str, "{\"type\":\"stt\",\"text\":\"你好\"}");
    ASSERT_TRUE(msgs[1].binary);
    auto pcm = cloud_rig::decodeOggOpus(msgs[1].str);
    EXPECT_EQ(pcm.size(), 24000u);
    EXPECT_GT(cloud_rig::bestCorrelation(cloud_rig::chirp(0.5, 48000, 400, 2000), pcm), 0.95);

    std::string log;
    ASSERT_TRUE(waitUntil([&] { return (log = readFile(dir_ / "log")).find("ended") != std::string::npos; }, 10s));
    for (const char* line :
         {"conn=1 handshake target=/embodied/tolvane/v1/?device-id=a authorization=bravo_key92",
          "conn=1 recv text 38 {\"type\":\"hello\",\"token\":\"bravo_key92\"}", "conn=1 sent text",
          "conn=1 sent binary", "conn=1 recv pong hi", "conn=1 recv binary 2", "conn=1 sent close 4000 that is all"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
}

TEST_F(FakeCloudProcess, RejectsBadScriptsWithExitStatusTwo) {
    for (std::string line : {"bogus", "hello: dance", "when: text x", "binary#0: drop", "open: close 12",
                             "open: wait -1", "open: opus 0"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(run({"--certs", dir_ / "certs", "--rule", line}, 20s), 2);
    }
    EXPECT_EQ(run({"--no-such-option"}, 20s), 2);
    EXPECT_EQ(run({"--certs"}, 20s), 2);
}

}  // namespace
