// The library's clients against scripted peers on the real socket paths.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>

#include "agent_service/velantis_agent_service.h"
#include "tests/agent_service/service_test_util.h"
#include "tests/support/figures.h"
#include "tests/support/private_tmp.h"

using namespace service_test;
using namespace test_support;
using namespace std::chrono_literals;

namespace {

const char* const kAgentPath = "/tmp/velantis_agent.sock";
const char* const kTtsPath = "/tmp/velantis_tts.sock";
const char* const kWakePath = "/tmp/velantis_wakeword.sock";

uint64_t currentId() { return __atomic_load_n(&g_msg_id, __ATOMIC_SEQ_CST); }

// The counter as the loaded library left it, read before any test ran.
uint64_t s_id_at_load = ~0ull;

// Requests seen by a peer, for checks after the call.
struct Seen {
    std::mutex m;
    std::vector<Request> requests;
    void add(const Request& r) {
        std::lock_guard<std::mutex> l(m);
        requests.push_back(r);
    }
    std::vector<Request> all() {
        std::lock_guard<std::mutex> l(m);
        return requests;
    }
};

// Answers every request with a header of `reply_type` (0: the request's type) and the
// request's id plus `id_shift`.
std::function<void(int)> replier(Seen& seen, uint32_t reply_type = 0, uint64_t id_shift = 0) {
    return [&seen, reply_type, id_shift](int fd) {
        Request r;
        while (recvMsg(fd, r)) {
            seen.add(r);
            sendMsg(fd, header(reply_type ? reply_type : r.header.type, 0, r.header.id + id_shift));
        }
    };
}

// Where standard output and error are captured (in the private /tmp).
std::string capturePath(const std::string& name) {
    static const TempDir dir("service-clients");
    return dir / name;
}

std::string statePayload(uint8_t from, uint8_t to, const std::string& reason) {
    std::string p(66, '\0');
    p[0] = static_cast<char>(from);
    p[1] = static_cast<char>(to);
    std::memcpy(&p[2], reason.data(), std::min<size_t>(reason.size(), 64));
    return p;
}

}  // namespace

// The counter starts at 0 when the library is loaded and each request takes the next id.
TEST(ServiceClients, RequestIdsCountAcrossTheThreeClients) {
    EXPECT_EQ(s_id_at_load, 0u);
    const uint64_t id = currentId();
    Seen agent, tts;
    FakeServer agentPeer(kAgentPath, replier(agent));
    FakeServer ttsPeer(kTtsPath, replier(tts, TTS_ACK));
    ASSERT_TRUE(agentPeer.ok() && ttsPeer.ok());
    LogSince log;

    EXPECT_TRUE(velantis::runTavrinAgent());
    FdCapture capturedStdout(1, capturePath("stdout"));
    EXPECT_TRUE(velantis::sendTTSRequest("hi"));
    std::string out = capturedStdout.take();
    EXPECT_TRUE(velantis::stopTavrinAgent());
    EXPECT_EQ(currentId(), id + 3);

    auto a = agent.all();
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].header.type, 9001u);
    EXPECT_EQ(a[0].header.id, id);
    EXPECT_EQ(a[1].header.type, 9002u);
    EXPECT_EQ(a[1].header.id, id + 2);
    for (auto& r : a) {
        ASSERT_EQ(r.header.length, 320u);
        ASSERT_EQ(r.payload.size(), 320u);
        EXPECT_EQ(r.payload.substr(0, 64), std::string("velantis_agent_service") + std::string(42, '\0'));
    }
    EXPECT_EQ(a[0].payload.substr(64), std::string("Request to start audio recording") + std::string(224, '\0'));
    EXPECT_EQ(a[1].payload.substr(64), std::string("Request to stop audio recording") + std::string(225, '\0'));

    auto t = tts.all();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].header.type, 2001u);
    EXPECT_EQ(t[0].header.id, id + 1);
    EXPECT_EQ(t[0].header.length, 12u);
    int32_t sid;
    float speed;
    uint16_t n;
    std::memcpy(&sid, &t[0].payload[0], 4);
    std::memcpy(&speed, &t[0].payload[4], 4);
    std::memcpy(&n, &t[0].payload[8], 2);
    EXPECT_EQ(sid, 87);
    EXPECT_EQ(speed, 1.2f);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(t[0].payload.substr(10), "hi");
    uint64_t now = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    EXPECT_LE(t[0].header.timestamp, now);
    EXPECT_GT(t[0].header.timestamp + 60000, now);

    EXPECT_EQ(out,
              "Sending TTS request: \"hi\", sid: 87, speed: 1.2\n"
              "Successfully received ACK from server.\n"
              "Connection closed.\n");
    std::string text = log.text();
    const std::vector<std::string> lines{"Running Tavrin Agent...",
                                         "Connected to Tavrin Agent server.",
                                         "Sent AGENT_START request with id " + std::to_string(id) + ".",
                                         "Successfully received ACK for AGENT_START.",
                                         "Connected to TTS server.",
                                         "Stopping Tavrin Agent...",
                                         "Connected to Tavrin Agent server to send STOP command.",
                                         "Sent AGENT_STOP request with id " + std::to_string(id + 2) + ".",
                                         "Successfully received ACK for AGENT_STOP."};
    for (const auto& line : lines) {
        EXPECT_EQ(countOf(text, line), 1u) << line;
    }
    EXPECT_EQ(countOf(text, "Agent client connection closed."), 2u);
}

TEST(ServiceClients, AgentFailuresReturnFalse) {
    ::unlink(kAgentPath);
    LogSince log;
    uint64_t before = currentId();
    EXPECT_FALSE(velantis::runTavrinAgent());
    EXPECT_EQ(currentId(), before) << "a failed connection takes no id";
    EXPECT_EQ(countOf(log.text(),
                      "Failed to connect to agent server at /tmp/velantis_agent.sock: No such file or directory"),
              1u);

    {  // the right type with another id
        Seen seen;
        FakeServer peer(kAgentPath, replier(seen, 0, 1));
        EXPECT_FALSE(velantis::runTavrinAgent());
        std::string expected = "Received an unexpected response. Type: 9001, ID: " + std::to_string(before + 1);
        EXPECT_EQ(countOf(log.text(), expected), 1u) << log.text();
    }
    {  // no reply at all
        FakeServer peer(kAgentPath, [](int fd) {
            Request r;
            while (recvMsg(fd, r)) {
            }
        });
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(velantis::stopTavrinAgent());
        auto waited = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(waited, 4500ms);
        EXPECT_LT(waited, 30s);
        std::string text = log.text();
        auto timedOut = text.find("Receive ACK for AGENT_STOP timed out.");
        ASSERT_NE(timedOut, std::string::npos);
        EXPECT_NE(text.find("Agent client connection closed.", timedOut), std::string::npos);
    }
    {  // a peer that hangs up without replying
        FakeServer peer(kAgentPath, [](int fd) {
            Request r;
            recvMsg(fd, r);
        });
        EXPECT_FALSE(velantis::runTavrinAgent());
        EXPECT_EQ(countOf(log.text(), "Failed to receive response or server disconnected: "), 1u);
    }
    EXPECT_EQ(currentId(), before + 3);
}

TEST(ServiceClients, TtsReplyOfAnotherTypeStillReturnsTrue) {
    Seen seen;
    FakeServer peer(kTtsPath, replier(seen, WAKEWORD_ACK));
    uint64_t id = currentId();
    FdCapture capturedStderr(2, capturePath("stderr"));
    EXPECT_TRUE(velantis::sendTTSRequest("hello"));
    EXPECT_EQ(capturedStderr.take(), "Received an unexpected response. Type: 1004, ID: " + std::to_string(id) + "\n");
}

// A peer that sends part of a header and keeps the connection open: one receive reports it.
std::function<void(int)> shortReplier() {
    return [](int fd) {
        Request r;
        if (!recvMsg(fd, r)) return;
        sendAll(fd, "0123456789", 10);
        char c;
        while (::recv(fd, &c, 1, 0) > 0) {
        }
    };
}

TEST(ServiceClients, IncompleteOrMissingReplyHeaders) {
    LogSince log;
    {
        FakeServer peer(kTtsPath, shortReplier());
        FdCapture capturedStdout(1, capturePath("stdout"));
        FdCapture capturedStderr(2, capturePath("stderr"));
        EXPECT_TRUE(velantis::sendTTSRequest("short"));
        EXPECT_EQ(capturedStderr.take(), "Received an incomplete response header.\n");
        std::string out = capturedStdout.take();
        EXPECT_NE(out.find("Connection closed.\n"), std::string::npos) << out;
    }
    {
        FakeServer peer(kTtsPath, [](int fd) {
            Request r;
            recvMsg(fd, r);
        });
        FdCapture capturedStderr(2, capturePath("stderr"));
        EXPECT_TRUE(velantis::sendTTSRequest("hung up"));
        EXPECT_EQ(capturedStderr.take(), "Failed to receive response or server disconnected.\n");
    }
    {
        FakeServer peer(kAgentPath, shortReplier());
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(velantis::runTavrinAgent());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
        std::string text = log.text();
        auto incomplete = text.find("Received an incomplete response header.");
        ASSERT_NE(incomplete, std::string::npos) << text;
        EXPECT_NE(text.find("Agent client connection closed.", incomplete), std::string::npos);
    }
}

TEST(ServiceClients, TtsConnectionFailure) {
    ::unlink(kTtsPath);
    LogSince log;
    uint64_t before = currentId();
    EXPECT_FALSE(velantis::sendTTSRequest("nobody listens"));
    EXPECT_EQ(currentId(), before);
    EXPECT_EQ(g_kokoro_tts_client_fd, -1);
    EXPECT_EQ(countOf(log.text(),
                      "Failed to connect to TTS server at /tmp/velantis_tts.sock: No such file or directory"),
              1u);
}

TEST(ServiceClients, TtsTextIsCutAtACharacterBoundary) {
    Seen seen;
    FakeServer peer(kTtsPath, replier(seen, TTS_ACK));
    LogSince log;
    auto sentText = [&](size_t i) {
        auto r = seen.all().at(i);
        uint16_t n;
        std::memcpy(&n, &r.payload[8], 2);
        EXPECT_EQ(r.header.length, 10u + n);
        EXPECT_EQ(r.payload.size(), 10u + n);
        return r.payload.substr(10);
    };

    FdCapture capturedStdout(1, capturePath("stdout"));
    EXPECT_TRUE(velantis::sendTTSRequest(""));
    EXPECT_EQ(sentText(0), "");

    const std::string ascii(65536, 'a');
    EXPECT_TRUE(velantis::sendTTSRequest(ascii));
    EXPECT_EQ(sentText(1), std::string(65535, 'a'));

    std::string accents;
    for (int i = 0; i < 32768; ++i) accents += "\xc3\xa9";  // é, 2 bytes
    EXPECT_TRUE(velantis::sendTTSRequest(accents));
    EXPECT_EQ(sentText(2), accents.substr(0, 65534));

    std::string emoji;
    for (int i = 0; i < 16400; ++i) emoji += "\xf0\x9f\x98\x80";  // 4 bytes each
    EXPECT_TRUE(velantis::sendTTSRequest(emoji));
    EXPECT_EQ(sentText(3), emoji.substr(0, 65532));

    // No character boundary near the cut: at most three bytes are given up, never the text.
    const std::string stray(65536, '\x80');
    EXPECT_TRUE(velantis::sendTTSRequest(stray));
    EXPECT_EQ(sentText(4), stray.substr(0, 65532));

    std::string out = capturedStdout.take();
    // The console line shows the whole text.
    EXPECT_NE(out.find("Sending TTS request: \"" + ascii + "\", sid: 87, speed: 1.2\n"), std::string::npos);
    EXPECT_NE(out.find("Sending TTS request: \"" + emoji + "\", sid: 87, speed: 1.2\n"), std::string::npos);
    EXPECT_EQ(countOf(out, "Successfully received ACK from server.\n"), 5u);
    std::string text = log.text();
    EXPECT_EQ(countOf(text, "TTS text of 65536 bytes is longer than 65535 bytes: sending its first 65535 bytes"), 1u);
    EXPECT_EQ(countOf(text, "TTS text of 65600 bytes is longer than 65535 bytes: sending its first 65532 bytes"), 1u);
    EXPECT_EQ(countOf(text, "TTS text of 65536 bytes is longer than 65535 bytes: sending its first 65532 bytes"), 1u);
}

TEST(ServiceClients, WakeWordMessagesArePrintedInStep) {
    std::string fullReason(64, 'r');
    FakeServer peer(kWakePath, [&](int fd) {
        sendMsg(fd, header(WAKEWORD_STATE, 66, 0), statePayload(0, 1, "initial_state"));
        std::string event(17, '\0');
        double angle = 87.5;
        int32_t beam = 2;
        float confidence = 0.9f;
        std::memcpy(&event[0], &angle, 8);
        std::memcpy(&event[8], &beam, 4);
        std::memcpy(&event[12], &confidence, 4);
        event[16] = 0;
        sendMsg(fd, header(WAKEWORD_EVENT, 17, 0), event);
        std::string error(132, '\0');
        int32_t code = -7;
        std::memcpy(&error[0], &code, 4);
        std::memcpy(&error[4], "board lost", 10);
        sendMsg(fd, header(WAKEWORD_ERROR, 132, 0), error);
        sendMsg(fd, header(4242, 5, 0), "abcde");
        sendMsg(fd, header(WAKEWORD_ACK, 0, 0));
        sendMsg(fd, header(WAKEWORD_STATE, 66, 0), statePayload(1, 0, fullReason));
        // then hang up
    });
    LogSince log;
    FdCapture capturedStdout(1, capturePath("stdout"));
    EXPECT_TRUE(velantis::listenWakeWord(nullptr));
    std::string out = capturedStdout.take();
    EXPECT_EQ(out,
              "📡 State Changed: 0 -> 1 (initial_state)\n"
              "🎙️  Wake Word Detected!\n"
              "   Angle: 87.5 degrees\n"
              "   Beam: 2\n"
              "   Confidence: 0.9\n"
              "   State: STOPPED\n"
              "   Timestamp: 1700000000123\n"
              "❌ Error: -7 - board lost\n"
              "📡 State Changed: 1 -> 0 (" +
                  fullReason + ")\n");
    std::string text = log.text();
    EXPECT_EQ(countOf(text, "Connected to wake word server"), 1u);
    EXPECT_EQ(countOf(text, "Unknown message type: 4242"), 1u);
    EXPECT_EQ(countOf(text, "Unknown message type: 1004"), 1u);
    EXPECT_EQ(countOf(text, "Server disconnected or socket connection invalid"), 1u);
    // The socket stays held until the listening is stopped.
    EXPECT_NE(g_wakeword_client_fd, -1);
    velantis::stopWakeWordListening();
    EXPECT_EQ(g_wakeword_client_fd, -1);
    velantis::stopWakeWordListening();  // nothing held: does nothing
    EXPECT_EQ(g_wakeword_client_fd, -1);
}

TEST(ServiceClients, StopWakesABlockedListener) {
    std::atomic<int> ended{0};
    FakeServer peer(kWakePath, [&](int fd) {
        sendMsg(fd, header(WAKEWORD_STATE, 66, 0), statePayload(0, 0, "initial_state"));
        char c;
        while (::recv(fd, &c, 1, 0) > 0) {
        }
        ++ended;
    });
    std::atomic<int> calls{0};
    std::atomic<bool> result{false}, returned{false};
    std::thread listener([&] {
        result = velantis::listenWakeWord([&](const velantis::MessageHeader& h) {
            std::vector<char> payload(h.length);
            recvExact(g_wakeword_client_fd, payload.data(), payload.size());
            ++calls;
        });
        returned = true;
    });
    ASSERT_TRUE(waitUntil([&] { return calls.load() == 1; }, 10s));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load());
    velantis::stopWakeWordListening();
    EXPECT_TRUE(waitUntil([&] { return returned.load(); }, 5s));
    listener.join();
    EXPECT_TRUE(result.load());
    EXPECT_EQ(g_wakeword_client_fd, -1);
    EXPECT_TRUE(waitUntil([&] { return ended.load() == 1; }, 5s)) << "the connection was not closed";
}

TEST(ServiceClients, StopFromInsideTheCallback) {
    FakeServer peer(kWakePath, [&](int fd) {
        sendMsg(fd, header(WAKEWORD_STATE, 66, 0), statePayload(0, 0, "initial_state"));
        sendMsg(fd, header(WAKEWORD_ACK, 0, 0));
        char c;
        while (::recv(fd, &c, 1, 0) > 0) {
        }
    });
    int calls = 0;
    FdCapture capturedStdout(1, capturePath("stdout"));
    bool result = velantis::listenWakeWord([&](const velantis::MessageHeader& h) {
        ++calls;
        handleMessage(h);
        velantis::stopWakeWordListening();
    });
    EXPECT_EQ(capturedStdout.take(), "📡 State Changed: 0 -> 0 (initial_state)\n");
    EXPECT_TRUE(result);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(g_wakeword_client_fd, -1);
}

TEST(ServiceClients, ListeningAgainReleasesTheHeldSocket) {
    FakeServer peer(kWakePath, [](int) {});  // hangs up at once
    size_t before = test_support::descriptorCount(::getpid());
    EXPECT_TRUE(velantis::listenWakeWord([](const velantis::MessageHeader&) {}));
    EXPECT_EQ(test_support::descriptorCount(::getpid()), before + 1);
    EXPECT_TRUE(velantis::listenWakeWord([](const velantis::MessageHeader&) {}));
    EXPECT_EQ(test_support::descriptorCount(::getpid()), before + 1);
    velantis::stopWakeWordListening();
    EXPECT_EQ(test_support::descriptorCount(::getpid()), before);

    ::unlink(kWakePath);
    LogSince log;
    EXPECT_FALSE(velantis::listenWakeWord(nullptr));
    EXPECT_EQ(g_wakeword_client_fd, -1);
    EXPECT_EQ(test_support::descriptorCount(::getpid()), before);
    EXPECT_EQ(countOf(log.text(), "Failed to connect to server: No such file or directory"), 1u);
}

TEST(ServiceClients, SendMessageFailsWithoutASignal) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::vector<uint8_t> payload{1, 2, 3};

    EXPECT_TRUE(sendMessage(sv[0], header(TTS_REQUEST, 3, 1), payload));
    Request r;
    ASSERT_TRUE(recvMsg(sv[1], r));
    EXPECT_EQ(r.payload, std::string("\x01\x02\x03", 3));
    EXPECT_EQ(r.header.timestamp, 1700000000123ULL);

    // A header without payload is sent alone, whatever the payload argument holds.
    EXPECT_TRUE(sendMessage(sv[0], header(WAKEWORD_ACK, 0, 5), payload));
    char bytes[64];
    ssize_t n = ::recv(sv[1], bytes, sizeof(bytes), MSG_DONTWAIT);
    EXPECT_EQ(n, 24);

    ::close(sv[1]);
    FdCapture capturedStderr(2, capturePath("stderr"));
    EXPECT_FALSE(sendMessage(sv[0], header(TTS_REQUEST, 3, 1), payload));
    EXPECT_EQ(capturedStderr.take(), "Error sending message header: Broken pipe\n");
    ::close(sv[0]);
}

int main(int argc, char** argv) {
    // Before any thread: the fixed socket paths then live in a /tmp of this process's own.
    if (!test_support::enterPrivateTmp({}))
        std::cerr << "note: using the real /tmp (needs root for a private one)" << std::endl;
    s_id_at_load = currentId();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
