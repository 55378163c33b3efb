// The WebSocket client against the fake cloud over real TLS on loopback.
#include "tests/agent/websocket_recorder.h"
#include "tests/rig/cloud/fake_cloud.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using namespace websocket_recorder;
using velantis::net::ReadyState;

namespace {

const std::string kPath = "/embodied/tolvane/v1/?device-id=00:11:22:33:44:55&client-id=web_test_client";

cloud_rig::CloudCertificates g_trusted;
cloud_rig::CloudCertificates g_untrusted;
cloud_rig::CloudCertificates g_otherHost;

// Certificates are made once; the trusted CA goes into SSL_CERT_FILE before any thread runs.
class CertEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        tmp_ = std::make_unique<test_support::TempDir>("websocket_test");
        const std::string dir = tmp_->path();
        g_trusted = cloud_rig::makeCloudCertificates(dir + "/trusted");
        g_untrusted = cloud_rig::makeCloudCertificates(dir + "/untrusted");
        g_otherHost = cloud_rig::makeCloudCertificates(dir + "/other", "otherhost.invalid");
        // The mismatching certificate is signed by the trusted CA.
        std::string cmd =
            "cd '" + dir +
            "/other' && openssl req -new -key server.key -subj /CN=otherhost.invalid "
            "-out s.csr 2>/dev/null && printf 'subjectAltName=DNS:otherhost.invalid\\nextendedKeyUsage=serverAuth\\n' "
            "> s.ext && "
            "openssl x509 -req -in s.csr -CA '" +
            g_trusted.caFile + "' -CAkey '" + dir +
            "/trusted/ca.key' -CAcreateserial -CAserial s.srl -days 30 -extfile s.ext -out server.pem 2>/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        setenv("SSL_CERT_FILE", g_trusted.caFile.c_str(), 1);
    }
    void TearDown() override { tmp_.reset(); }

private:
    std::unique_ptr<test_support::TempDir> tmp_;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new CertEnvironment);

cloud_rig::FakeCloud::Options optionsFor(const cloud_rig::CloudCertificates& certs) {
    cloud_rig::FakeCloud::Options o;
    o.certFile = certs.certFile;
    o.keyFile = certs.keyFile;
    o.requiredAuthorization = kToken;
    return o;
}

// stop() on a thread of its own, so that one that never returns fails the test program
// instead of hanging it. Returns how long it took.
std::chrono::steady_clock::duration watchedStop(WebSocket& ws) {
    const auto t0 = std::chrono::steady_clock::now();
    std::promise<void> stopped;
    std::thread stopper([&] {
        ws.stop();
        stopped.set_value();
    });
    if (stopped.get_future().wait_for(30s) != std::future_status::ready) {
        ADD_FAILURE() << "stop() has not returned after 30 s";
        std::fflush(stdout);
        std::_Exit(1);
    }
    stopper.join();
    return std::chrono::steady_clock::now() - t0;
}

class WebSocketTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(cloud.start()) << cloud.error(); }

    // Starts `ws` on the cloud (records to `first`, then `rec`) and waits for the open.
    void open(const std::function<void(const WebSocketMessagePtr&)>& first = {}) {
        start(ws, cloud.url(kPath), rec, first);
        ASSERT_TRUE(rec.waitFor(WebSocketMessageType::Open));
    }

    // Waits for a frame of `kind` on the n-th connection that `match` accepts.
    bool waitForFrame(cloud_rig::FrameKind kind, int n,
                      const std::function<bool(const cloud_rig::ReceivedFrame&)>& match) {
        return cloud.waitUntil(
            [&] {
                for (const auto& f : cloud.frames(kind))
                    if (f.connection == n && match(f)) return true;
                return false;
            },
            10s);
    }

    cloud_rig::FakeCloud cloud{optionsFor(g_trusted)};
    Recorder rec;
    WebSocket ws;
};

TEST_F(WebSocketTest, OpensOverTlsSendsBothWaysAndClosesNormally) {
    EXPECT_EQ(ws.getReadyState(), ReadyState::Closed);
    EXPECT_FALSE(ws.send("too early").success);
    ASSERT_NO_FATAL_FAILURE(open());
    EXPECT_EQ(ws.getReadyState(), ReadyState::Open);

    auto opened = rec.of(WebSocketMessageType::Open).at(0);
    EXPECT_NE(opened.thread, std::this_thread::get_id());
    EXPECT_EQ(opened.openInfo.uri, kPath);
    EXPECT_EQ(opened.openInfo.headers["upgrade"], "websocket");
    EXPECT_NE(opened.openInfo.headers.find("Sec-WebSocket-Accept"), opened.openInfo.headers.end());

    auto hs = cloud.handshakes().at(0);
    EXPECT_TRUE(hs.accepted);
    EXPECT_EQ(hs.path, "/embodied/tolvane/v1/");
    EXPECT_EQ(hs.query, "device-id=00:11:22:33:44:55&client-id=web_test_client");
    EXPECT_EQ(hs.headers["authorization"], kToken);
    EXPECT_EQ(hs.headers["user-agent"], velantis::net::userAgent());
    EXPECT_NE(hs.headers["sec-websocket-extensions"].find("permessage-deflate"), std::string::npos);
    EXPECT_EQ(hs.headers["host"], "localhost:" + std::to_string(cloud.port()));

    std::string bin("\x00\x01\xff\x80zz", 6);
    EXPECT_TRUE(ws.send("{\"type\":\"hello\",\"name\":\"Web测试设备\"}").success);
    EXPECT_TRUE(ws.send(bin, true).success);
    ASSERT_TRUE(cloud.waitForFrames(2, 10s));
    auto frames = cloud.frames();
    EXPECT_EQ(frames[0].kind, cloud_rig::FrameKind::Text);
    EXPECT_EQ(frames[0].data, "{\"type\":\"hello\",\"name\":\"Web测试设备\"}");
    EXPECT_EQ(frames[1].kind, cloud_rig::FrameKind::Binary);
    EXPECT_EQ(frames[1].data, bin);

    std::string big(100000, 'a');  // compresses well: deflate on the way back
    ASSERT_TRUE(cloud.sendText("{\"type\":\"stt\",\"text\":\"你好\"}"));
    ASSERT_TRUE(cloud.sendBinary(bin));
    ASSERT_TRUE(cloud.sendBinary(big));
    ASSERT_TRUE(rec.waitFor(WebSocketMessageType::Message, 3));
    auto msgs = rec.of(WebSocketMessageType::Message);
    EXPECT_FALSE(msgs[0].binary);
    EXPECT_EQ(msgs[0].str, "{\"type\":\"stt\",\"text\":\"你好\"}");
    EXPECT_TRUE(msgs[1].binary);
    EXPECT_EQ(msgs[1].str, bin);
    EXPECT_EQ(msgs[1].wireSize, 6u);
    EXPECT_EQ(msgs[2].str, big);
    EXPECT_EQ(msgs[2].wireSize, big.size());

    ws.stop();
    EXPECT_EQ(ws.getReadyState(), ReadyState::Closed);
    ASSERT_TRUE(cloud.waitUntil([&] { return !cloud.frames(cloud_rig::FrameKind::Close).empty(); }, 10s));
    auto close = cloud.frames(cloud_rig::FrameKind::Close).at(0);
    EXPECT_EQ(close.closeCode, 1000);
    EXPECT_EQ(close.closeReason, "Normal closure");
    auto closes = rec.of(WebSocketMessageType::Close);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].closeInfo.code, 1000);
    EXPECT_FALSE(closes[0].closeInfo.remote);
    EXPECT_EQ(rec.of(WebSocketMessageType::Error).size(), 0u);
    EXPECT_FALSE(ws.send("after stop").success);
    ws.stop();  // a second stop is harmless
}

TEST_F(WebSocketTest, FailedHandshakesGiveOneErrorAndNeverReconnect) {
    struct Case {
        const char* name;
        cloud_rig::CloudCertificates certs;
        std::string token;
        std::string expect;
        int status;
    };
    const Case cases[] = {
        {"untrusted", g_untrusted, kToken, "certificate verify failed", 0},
        {"other host", g_otherHost, kToken, "certificate verify failed", 0},
        {"refused authorization", g_trusted, "wrong_key", "401", 401},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cloud_rig::FakeCloud server(optionsFor(c.certs));
        ASSERT_TRUE(server.start()) << server.error();
        Recorder r;
        WebSocket client;
        start(client, server.url(kPath), r, {}, c.token);
        ASSERT_TRUE(r.waitFor(WebSocketMessageType::Error));
        auto err = r.of(WebSocketMessageType::Error).at(0);
        EXPECT_NE(err.errorInfo.reason.find(c.expect), std::string::npos) << err.errorInfo.reason;
        EXPECT_EQ(err.errorInfo.http_status, c.status);
        EXPECT_EQ(client.getReadyState(), ReadyState::Closed);
        std::this_thread::sleep_for(300ms);  // no second connection meanwhile
        EXPECT_EQ(server.connectionCount(), 1);
        EXPECT_EQ(r.events().size(), 1u);
        EXPECT_EQ(server.frames().size(), 0u);
        EXPECT_LT(watchedStop(client), 5s);  // nothing left running
        EXPECT_EQ(r.events().size(), 1u);
    }
}

TEST_F(WebSocketTest, UnreachableHostAndBadUrlAreErrors) {
    cloud.stop();  // its port: one that nothing listens on
    for (const std::string& url :
         {"wss://127.0.0.1:" + std::to_string(cloud.port()) + "/x", std::string("ws://localhost/x"),
          std::string("wss://localhost:99999/x"), std::string("wss:///path"), std::string("")}) {
        SCOPED_TRACE(url);
        Recorder r;
        WebSocket client;
        start(client, url, r);
        ASSERT_TRUE(r.waitFor(WebSocketMessageType::Error));
        EXPECT_FALSE(r.of(WebSocketMessageType::Error)[0].errorInfo.reason.empty());
        client.stop();
        EXPECT_EQ(client.getReadyState(), ReadyState::Closed);
        EXPECT_EQ(r.events().size(), 1u);
    }
}

TEST_F(WebSocketTest, ServerCloseAndDroppedConnectionArriveAsCloseRecords) {
    for (bool drop : {false, true}) {
        SCOPED_TRACE(drop ? "drop" : "close");
        Recorder r;
        WebSocket client;
        const int before = cloud.connectionCount();
        start(client, cloud.url(kPath), r);
        ASSERT_TRUE(r.waitFor(WebSocketMessageType::Open));
        ASSERT_TRUE(cloud.waitUntil([&] { return cloud.openConnections() == 1; }, 10s));
        ASSERT_TRUE(drop ? cloud.dropConnection() : cloud.sendClose(4001, "server says bye"));
        ASSERT_TRUE(r.waitFor(WebSocketMessageType::Close));
        auto c = r.of(WebSocketMessageType::Close).at(0);
        EXPECT_TRUE(c.closeInfo.remote);
        if (drop) {
            EXPECT_EQ(c.closeInfo.code, 1006);
            EXPECT_FALSE(c.errorInfo.reason.empty());
        } else {
            EXPECT_EQ(c.closeInfo.code, 4001);
            EXPECT_EQ(c.closeInfo.reason, "server says bye");
        }
        EXPECT_EQ(client.getReadyState(), ReadyState::Closed);
        EXPECT_FALSE(client.send("x", true).success);

        // Closed stays closed: no reconnection, and start() does nothing until stop().
        client.start();
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(cloud.connectionCount(), before + 1);
        client.stop();
        EXPECT_EQ(r.of(WebSocketMessageType::Close).size(), 1u);
        EXPECT_EQ(r.of(WebSocketMessageType::Error).size(), 0u);
        client.start();
        ASSERT_TRUE(r.waitFor(WebSocketMessageType::Open, 2));
        EXPECT_EQ(cloud.connectionCount(), before + 2);
        client.stop();
    }
}

TEST_F(WebSocketTest, ProtocolViolationEndsTheConnectionWithACloseRecord) {
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_TRUE(cloud.sendText("fine"));
    ASSERT_TRUE(cloud.sendText(std::string("\xff\xfe") + " not UTF-8"));  // a text frame must be UTF-8
    ASSERT_TRUE(rec.waitFor(WebSocketMessageType::Close));
    auto msgs = rec.of(WebSocketMessageType::Message);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].str, "fine");
    auto c = rec.of(WebSocketMessageType::Close).at(0);
    EXPECT_TRUE(c.closeInfo.remote);
    EXPECT_FALSE(c.errorInfo.reason.empty());
    EXPECT_EQ(ws.getReadyState(), ReadyState::Closed);
    ws.stop();
    EXPECT_EQ(cloud.connectionCount(), 1);
}

TEST_F(WebSocketTest, PingIsDeliveredAsKindFourAndAnswered) {
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_TRUE(cloud.sendPing("are you there"));
    ASSERT_TRUE(rec.waitFor(WebSocketMessageType::Ping));
    auto p = rec.of(WebSocketMessageType::Ping).at(0);
    EXPECT_EQ(static_cast<int>(p.type), 4);
    EXPECT_EQ(p.str, "are you there");
    ASSERT_TRUE(cloud.waitUntil([&] { return !cloud.frames(cloud_rig::FrameKind::Pong).empty(); }, 10s));
    EXPECT_EQ(cloud.frames(cloud_rig::FrameKind::Pong)[0].data, "are you there");
    ws.stop();
}

TEST_F(WebSocketTest, SendsFromOtherThreadsWhileTheCallbackReads) {
    // The server answers each upstream packet with a text frame; three threads send.
    cloud.on(cloud_rig::CloudTrigger::Binary, {cloud_rig::CloudAction::text("ack")});
    ASSERT_NO_FATAL_FAILURE(open([&](const WebSocketMessagePtr& m) {
        if (m->type == WebSocketMessageType::Open) ws.send("from callback");  // as the hello is sent
    }));
    constexpr int kThreads = 3, kEach = 100;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string packet = std::to_string(t) + ":" + std::to_string(i) + std::string(100 + i, 'x');
                EXPECT_TRUE(ws.send(packet, true).success);
                (void)ws.getReadyState();
            }
        });
    }
    for (auto& s : senders) s.join();
    ASSERT_TRUE(rec.waitFor(WebSocketMessageType::Message, kThreads * kEach));
    auto bins = cloud.frames(cloud_rig::FrameKind::Binary);
    ASSERT_EQ(bins.size(), static_cast<size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const auto& f : bins) {  // each thread's packets arrive whole and in its order
        int t = f.data[0] - '0';
        int i = std::stoi(f.data.substr(2));
        EXPECT_EQ(i, next[t]++);
        EXPECT_EQ(f.data.size(), f.data.find(':') + 1 + std::to_string(i).size() + 100 + i);
    }
    EXPECT_EQ(cloud.frames(cloud_rig::FrameKind::Text).at(0).data, "from callback");
    ws.stop();
    EXPECT_EQ(rec.of(WebSocketMessageType::Message).size(), static_cast<size_t>(kThreads * kEach));
}

TEST_F(WebSocketTest, StopWaitsForTheCallbackInHand) {
    std::atomic<bool> entered{false}, finished{false};
    ASSERT_NO_FATAL_FAILURE(open([&](const WebSocketMessagePtr& m) {
        if (m->type != WebSocketMessageType::Message) return;
        entered = true;
        std::this_thread::sleep_for(400ms);  // like playing received speech
        finished = true;
    }));
    ASSERT_TRUE(cloud.sendBinary("speech"));
    ASSERT_TRUE(cloud.waitUntil([&] { return entered.load(); }, 10s));
    ws.stop();
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(ws.getReadyState(), ReadyState::Closed);
    // The close frame still went out after the callback.
    ASSERT_TRUE(cloud.waitUntil([&] { return !cloud.frames(cloud_rig::FrameKind::Close).empty(); }, 10s));
    EXPECT_EQ(cloud.frames(cloud_rig::FrameKind::Close)[0].closeCode, 1000);
}

TEST_F(WebSocketTest, StopWithFramesStillQueuedOrInFlight) {
    for (int round = 0; round < 3; ++round) {
        Recorder r;
        WebSocket client;
        start(client, cloud.url(kPath), r, [&](const WebSocketMessagePtr& m) {
            if (m->type != WebSocketMessageType::Open) return;
            for (int i = 0; i < 6; ++i) client.send(std::string(1 << 20, static_cast<char>('a' + i)), true);
        });
        ASSERT_TRUE(r.waitFor(WebSocketMessageType::Open));
        client.stop();
        EXPECT_EQ(client.getReadyState(), ReadyState::Closed);
        // The frame in flight when the close began arrives, and whatever arrived is whole.
        ASSERT_TRUE(cloud.waitUntil(
            [&] { return cloud.frames(cloud_rig::FrameKind::Close).size() == size_t(round + 1); }, 10s));
        EXPECT_FALSE(cloud.frames(cloud_rig::FrameKind::Binary).empty());
        for (const auto& f : cloud.frames(cloud_rig::FrameKind::Binary)) {
            ASSERT_EQ(f.data.size(), 1u << 20);
            EXPECT_EQ(f.data.find_first_not_of(f.data[0]), std::string::npos);
        }
    }
}

// A peer that misbehaves in any state: stop() returns in bounded time (the close guard is
// 3 s), the state is closed, and the next connection of the same object works.
TEST_F(WebSocketTest, EveryStopIsBoundedWhateverThePeerDoes) {
    enum class Fault { SilentTls, SilentUpgrade, CloseThenSilence, StopsReading, ResetMidFrame, StallInText };
    const std::pair<const char*, Fault> cases[] = {{"accepts TCP, never speaks TLS", Fault::SilentTls},
                                                   {"never answers the upgrade", Fault::SilentUpgrade},
                                                   {"close frame, then silence", Fault::CloseThenSilence},
                                                   {"stops reading", Fault::StopsReading},
                                                   {"reset in the middle of a frame", Fault::ResetMidFrame},
                                                   {"stalls inside a text frame, then answers the close",
                                                    Fault::StallInText}};
    for (const auto& [name, fault] : cases) {
        SCOPED_TRACE(name);
        Recorder r;
        const int connection = cloud.connectionCount() + 1;
        const size_t handshakes = cloud.handshakes().size();
        if (fault == Fault::SilentTls) cloud.silence(cloud_rig::CloudSilence::BeforeTls, connection);
        if (fault == Fault::SilentUpgrade) cloud.silence(cloud_rig::CloudSilence::BeforeUpgrade, connection);
        start(ws, cloud.url(kPath), r);
        const bool opens = fault != Fault::SilentTls && fault != Fault::SilentUpgrade;
        if (opens) {
            ASSERT_TRUE(r.waitFor(WebSocketMessageType::Open));
            ASSERT_TRUE(
                cloud.waitUntil([&] { return cloud.openedAt(connection) != cloud_rig::Clock::time_point{}; }, 10s));
        } else {
            ASSERT_TRUE(cloud.waitUntil([&] { return cloud.connectionCount() == connection; }, 10s));
            if (fault == Fault::SilentUpgrade) {
                ASSERT_TRUE(cloud.waitForHandshakes(handshakes + 1, 10s));
            }
            std::this_thread::sleep_for(200ms);
            EXPECT_EQ(ws.getReadyState(), ReadyState::Connecting);
        }
        switch (fault) {
        case Fault::CloseThenSilence:
            // Ends by itself too: the answer to the close is not waited for beyond the guard.
            ASSERT_TRUE(cloud.act({cloud_rig::CloudAction::closeSilently(4002, "going quiet")}));
            ASSERT_TRUE(r.waitFor(WebSocketMessageType::Close, 1, 6s));
            EXPECT_TRUE(r.of(WebSocketMessageType::Close).at(0).closeInfo.remote);
            EXPECT_EQ(r.of(WebSocketMessageType::Close).at(0).closeInfo.reason, "going quiet");
            break;
        case Fault::StopsReading: {
            ASSERT_TRUE(cloud.act({cloud_rig::CloudAction::stopReading()}));
            std::this_thread::sleep_for(100ms);
            // Sends never wait for the network: the queue fills, then refuses.
            const std::string big(1 << 20, 'b');
            int accepted = 0;
            while (accepted < 100 && ws.send(big, true).success) ++accepted;
            EXPECT_LT(accepted, 100);
            EXPECT_GE(accepted, 8);
            break;
        }
        case Fault::ResetMidFrame:
            ASSERT_TRUE(cloud.act({cloud_rig::CloudAction::reset()}));
            ASSERT_TRUE(r.waitFor(WebSocketMessageType::Close));
            EXPECT_EQ(r.of(WebSocketMessageType::Close).at(0).closeInfo.code, 1006);
            break;
        case Fault::StallInText:
            // The cloud's answer to our close completes the stalled frame's character with
            // bytes that make it invalid: the read fails while the close is under way.
            ASSERT_TRUE(cloud.act({cloud_rig::CloudAction::stallInText()}));
            break;
        default:
            break;
        }
        std::this_thread::sleep_for(100ms);
        EXPECT_LT(watchedStop(ws), 6s);
        EXPECT_EQ(ws.getReadyState(), ReadyState::Closed);
        if (opens) {
            // One final record, a close; after a close frame of the peer it carries its code.
            ASSERT_EQ(r.of(WebSocketMessageType::Close).size(), 1u);
            if (fault == Fault::CloseThenSilence) {
                EXPECT_EQ(r.of(WebSocketMessageType::Close)[0].closeInfo.code, 4002);
            }
        } else {
            EXPECT_TRUE(r.events().empty());  // stopped while connecting: nothing to report
        }
        EXPECT_EQ(r.of(WebSocketMessageType::Error).size(), 0u);
        if (fault == Fault::StallInText) {
            // The cloud did get the close frame, and answered it.
            ASSERT_TRUE(waitForFrame(cloud_rig::FrameKind::Close, connection,
                                     [](const cloud_rig::ReceivedFrame& f) { return f.closeCode == 1000; }));
        }

        // The next connection works.
        Recorder next;
        start(ws, cloud.url(kPath), next);
        ASSERT_TRUE(next.waitFor(WebSocketMessageType::Open));
        EXPECT_TRUE(ws.send("again").success);
        ASSERT_TRUE(waitForFrame(cloud_rig::FrameKind::Text, connection + 1,
                                 [](const cloud_rig::ReceivedFrame& f) { return f.data == "again"; }));
        ws.stop();
    }
}

// Messages faster than the callback: reading stops once 32 MiB wait, then goes on, nothing
// lost or reordered. Pings while the callback holds a message are all answered at once, and
// only a bounded number of them waits for the callback.
TEST_F(WebSocketTest, FloodsWhileTheCallbackIsSlow) {
    // Without deflate, slow under the sanitizers for 48 MiB; the flow control is the same.
    auto options = optionsFor(g_trusted);
    options.deflate = false;
    cloud_rig::FakeCloud cloud(options);
    ASSERT_TRUE(cloud.start()) << cloud.error();
    WebSocket ws;
    std::atomic<int> received{0};
    std::atomic<bool> inOrder{true}, release{false};
    start(ws, cloud.url(kPath), rec, [&](const WebSocketMessagePtr& m) {
        if (m->type != WebSocketMessageType::Message) return;
        test_support::waitUntil([&] { return release.load(); }, 60s, 1ms);
        if (m->str.size() != (1u << 20) || m->str[0] != static_cast<char>('A' + received % 26)) inOrder = false;
        received++;
    });
    ASSERT_TRUE(rec.waitFor(WebSocketMessageType::Open));
    constexpr int kMessages = 48;
    for (int i = 0; i < kMessages; ++i) cloud.sendBinary(std::string(1u << 20, static_cast<char>('A' + i % 26)));
    std::this_thread::sleep_for(1500ms);  // the callback holds the first one meanwhile
    release = true;
    EXPECT_TRUE(cloud.waitUntil([&] { return received.load() == kMessages; }, 30s)) << received.load();
    EXPECT_TRUE(inOrder.load());

    std::atomic<int> pings{0};
    std::atomic<bool> hold{true}, after{false};
    ws.setOnMessageCallback([&](const WebSocketMessagePtr& m) {
        if (m->type == WebSocketMessageType::Ping) pings++;
        if (m->type != WebSocketMessageType::Message) return;
        if (m->str == "answer") test_support::waitUntil([&] { return !hold; }, 60s, 1ms);
        if (m->str == "after") after = true;
    });
    constexpr int kPings = 40000;
    ASSERT_TRUE(cloud.act({cloud_rig::CloudAction::binary("answer"), cloud_rig::CloudAction::pingFlood(kPings),
                           cloud_rig::CloudAction::text("after")}));
    ASSERT_TRUE(cloud.waitUntil([&] { return cloud.count(cloud_rig::FrameKind::Pong) == kPings; }, 60s))
        << cloud.count(cloud_rig::FrameKind::Pong);
    EXPECT_EQ(pings.load(), 0);
    hold = false;
    ASSERT_TRUE(cloud.waitUntil([&] { return after.load(); }, 10s));
    EXPECT_GT(pings.load(), 0);
    EXPECT_LT(pings.load(), kPings / 4);
    ws.stop();
}

TEST_F(WebSocketTest, CallbackCanBeReplacedWhileMessagesArrive) {
    std::atomic<int> first{0}, second{0};
    ASSERT_NO_FATAL_FAILURE(open([&](const WebSocketMessagePtr&) { first++; }));
    for (int i = 0; i < 50; ++i) cloud.sendText("m" + std::to_string(i));
    ws.setOnMessageCallback([&](const WebSocketMessagePtr&) { second++; });
    ASSERT_TRUE(cloud.waitUntil([&] { return first + second >= 51; }, 10s));
    ws.stop();
    EXPECT_EQ(first + second, 52);  // every record once, the close included
}

// A name server that never answers: stop() does not wait for the look-up. The look-up runs
// in a child of this program with its own mount namespace, where /etc/resolv.conf names a
// loopback address whose port 53 takes queries and answers none.
TEST(WebSocketResolver, StopReturnsWhileTheNameServerNeverAnswers) {
    if (std::getenv("WEBSOCKET_TEST_SILENT_DNS") != nullptr) {
        WebSocket ws;
        Recorder r;
        start(ws, "wss://cloud.velantis.test/x", r);
        std::this_thread::sleep_for(300ms);  // still looking the name up
        EXPECT_EQ(ws.getReadyState(), ReadyState::Connecting);
        EXPECT_LT(watchedStop(ws), 6s);
        EXPECT_EQ(ws.getReadyState(), ReadyState::Closed);
        EXPECT_TRUE(r.events().empty());
        return;
    }
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(53);
    inet_pton(AF_INET, "127.9.9.9", &addr.sin_addr);
    if (bind(udp, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(udp);
        GTEST_SKIP() << "127.9.9.9:53 is taken";
    }
    const test_support::TempDir tmp("websocket_dns");
    const std::string& dir = tmp.path();
    std::ofstream(dir + "/resolv.conf") << "nameserver 127.9.9.9\noptions timeout:20 attempts:1\n";
    std::ofstream(dir + "/nsswitch.conf") << "hosts: files dns\n";
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string cmd = "WEBSOCKET_TEST_SILENT_DNS=1 unshare --mount --propagation private sh -c '";
    for (const char* f : {"resolv.conf", "nsswitch.conf"})
        cmd += "mount --bind " + dir + "/" + f + " /etc/" + f + " && ";
    cmd += "exec " + std::string(self) + " --gtest_filter=WebSocketResolver.*'";
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = std::system(cmd.c_str());
    EXPECT_EQ(rc, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 15s);  // the look-up alone lasts 20 s
    close(udp);
}

}  // namespace
