// The library's clients against scripted peers on the real socket paths.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <mutex>

#include "agent_service/velantis_agent_service.h"
#include "tests/agent_service/service_test_util.h"
#include "tests/rig/agent/agent_runner.h"
#include "tests/support/figures.h"
#include "tests/support/files.h"
#include "tests/support/private_tmp.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

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
    std::vector<Request> all() {
        std::lock_guard<std::mutex> l(m);
        return requests;
    }
    // A peer that keeps each request and answers it with a header of `reply_type` (0: the
    // request's type) and the request's id plus `id_shift`.
    std::function<void(int)> replier(uint32_t reply_type = 0, uint64_t id_shift = 0) {
        return [this, reply_type, id_shift](int fd) {
            for (Request r; recvMsg(fd, r);
                 sendMsg(fd, reply_type ? reply_type : r.header.type, r.header.id + id_shift)) {
                std::lock_guard<std::mutex> l(m);
                requests.push_back(r);
            }
        };
    }
};

// Peers that read until the client hangs up, and that hang up after one request.
void readToTheEnd(int fd) {
    char c;
    while (::recv(fd, &c, 1, 0) > 0) {
    }
}
void hangUpAfterOne(int fd) {
    Request r;
    recvMsg(fd, r);
}

// A peer that sends part of a header and keeps the connection open: one receive reports it.
void shortReplier(int fd) {
    Request r;
    if (!recvMsg(fd, r)) return;
    sendAll(fd, "0123456789", 10);
    readToTheEnd(fd);
}

// Where standard output and error are captured (in the private /tmp).
std::string capturePath(const std::string& name) {
    static const TempDir dir("service-clients");
    return dir / name;
}

}  // namespace

// The counter starts at 0 when the library is loaded and each request takes the next id.
TEST(ServiceClients, RequestIdsCountAcrossTheThreeClients) {
    EXPECT_EQ(s_id_at_load, 0u);
    const uint64_t id = currentId();
    Seen agent, tts;
    FakeServer agentPeer(kAgentPath, agent.replier());
    FakeServer ttsPeer(kTtsPath, tts.replier(TTS_ACK));
    ASSERT_TRUE(agentPeer.ok() && ttsPeer.ok());
    const size_t mark = processLog().size();

    EXPECT_TRUE(velantis::runTavrinAgent());
    FdCapture capturedStdout(1, capturePath("stdout"));
    EXPECT_TRUE(velantis::sendTTSRequest("hi"));
    std::string out = capturedStdout.take();
    EXPECT_TRUE(velantis::stopTavrinAgent());
    EXPECT_EQ(currentId(), id + 3);

    auto a = agent.all();
    ASSERT_EQ(a.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const std::string what = i == 0 ? "start" : "stop";
        EXPECT_EQ(a[i].header.type, 9001u + i);
        EXPECT_EQ(a[i].header.id, id + 2 * i);
        EXPECT_EQ(a[i].payload,
                  agent_rig::commandPayload("velantis_agent_service", "Request to " + what + " audio recording"));
    }

    auto t = tts.all();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].header.type, 2001u);
    EXPECT_EQ(t[0].header.id, id + 1);
    const auto hi = ttsRequest(87, 1.2f, "hi");
    EXPECT_EQ(t[0].payload, std::string(hi.begin(), hi.end()));
    EXPECT_LE(t[0].header.timestamp, velantis::currentTimestamp());
    EXPECT_GT(t[0].header.timestamp + 60000, velantis::currentTimestamp());

    EXPECT_EQ(out,
              "Sending TTS request: \"hi\", sid: 87, speed: 1.2\n"
              "Successfully received ACK from server.\n"
              "Connection closed.\n");
    const std::vector<std::string> lines{"Running Tavrin Agent...",
                                         "Connected to Tavrin Agent server.",
                                         "Sent AGENT_START request with id " + std::to_string(id) + ".",
                                         "Successfully received ACK for AGENT_START.",
                                         "Connected to TTS server.",
                                         "Stopping Tavrin Agent...",
                                         "Connected to Tavrin Agent server to send STOP command.",
                                         "Sent AGENT_STOP request with id " + std::to_string(id + 2) + ".",
                                         "Successfully received ACK for AGENT_STOP."};
    for (const auto& line : lines) EXPECT_EQ(processLog().count(line, mark), 1u) << line;
    EXPECT_EQ(processLog().count("Agent client connection closed.", mark), 2u);
}

TEST(ServiceClients, AgentFailuresReturnFalse) {
    ::unlink(kAgentPath);
    LogCapture& log = processLog();
    const size_t mark = log.size();
    uint64_t before = currentId();
    EXPECT_FALSE(velantis::runTavrinAgent());
    EXPECT_EQ(currentId(), before) << "a failed connection takes no id";
    EXPECT_EQ(log.count("Failed to connect to agent server at /tmp/velantis_agent.sock: No such file or directory",
                        mark),
              1u);

    {  // the right type with another id
        Seen seen;
        FakeServer peer(kAgentPath, seen.replier(0, 1));
        EXPECT_FALSE(velantis::runTavrinAgent());
        EXPECT_EQ(log.count("Received an unexpected response. Type: 9001, ID: " + std::to_string(before + 1), mark),
                  1u);
    }
    {  // no reply at all
        FakeServer peer(kAgentPath, readToTheEnd);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(velantis::stopTavrinAgent());
        auto waited = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(waited, 4500ms);
        EXPECT_LT(waited, 30s);
        expectInOrder(log, mark, {"Receive ACK for AGENT_STOP timed out.", "Agent client connection closed."});
    }
    {
        FakeServer peer(kAgentPath, hangUpAfterOne);
        EXPECT_FALSE(velantis::runTavrinAgent());
        EXPECT_EQ(log.count("Failed to receive response or server disconnected: ", mark), 1u);
    }
    EXPECT_EQ(currentId(), before + 3);
}

TEST(ServiceClients, TtsReplyOfAnotherTypeStillReturnsTrue) {
    Seen seen;
    FakeServer peer(kTtsPath, seen.replier(WAKEWORD_ACK));
    uint64_t id = currentId();
    FdCapture capturedStderr(2, capturePath("stderr"));
    EXPECT_TRUE(velantis::sendTTSRequest("hello"));
    EXPECT_EQ(capturedStderr.take(), "Received an unexpected response. Type: 1004, ID: " + std::to_string(id) + "\n");
}

TEST(ServiceClients, IncompleteOrMissingReplyHeaders) {
    LogCapture& log = processLog();
    const size_t mark = log.size();
    {
        FakeServer peer(kTtsPath, shortReplier);
        FdCapture capturedStdout(1, capturePath("stdout"));
        FdCapture capturedStderr(2, capturePath("stderr"));
        EXPECT_TRUE(velantis::sendTTSRequest("short"));
        EXPECT_EQ(capturedStderr.take(), "Received an incomplete response header.\n");
        EXPECT_EQ(countOf(capturedStdout.take(), "Connection closed.\n"), 1u);
    }
    {
        FakeServer peer(kTtsPath, hangUpAfterOne);
        FdCapture capturedStderr(2, capturePath("stderr"));
        EXPECT_TRUE(velantis::sendTTSRequest("hung up"));
        EXPECT_EQ(capturedStderr.take(), "Failed to receive response or server disconnected.\n");
    }
    {
        FakeServer peer(kAgentPath, shortReplier);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(velantis::runTavrinAgent());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
        expectInOrder(log, mark, {"Received an incomplete response header.", "Agent client connection closed."});
    }
}

TEST(ServiceClients, TtsConnectionFailure) {
    ::unlink(kTtsPath);
    const size_t mark = processLog().size();
    uint64_t before = currentId();
    EXPECT_FALSE(velantis::sendTTSRequest("nobody listens"));
    EXPECT_EQ(currentId(), before);
    EXPECT_EQ(g_kokoro_tts_client_fd, -1);
    EXPECT_EQ(processLog().count("Failed to connect to TTS server at /tmp/velantis_tts.sock: No such file or directory",
                                 mark),
              1u);
}

TEST(ServiceClients, TtsTextIsCutAtACharacterBoundary) {
    Seen seen;
    FakeServer peer(kTtsPath, seen.replier(TTS_ACK));
    const size_t mark = processLog().size();
    FdCapture capturedStdout(1, capturePath("stdout"));
    auto expectSent = [&](const std::string& text, const std::string& sent) {
        EXPECT_TRUE(velantis::sendTTSRequest(text));
        const auto want = ttsRequest(87, 1.2f, sent);
        EXPECT_EQ(seen.all().back().payload, std::string(want.begin(), want.end()));
    };
    expectSent("", "");
    const std::string ascii(65536, 'a');
    expectSent(ascii, std::string(65535, 'a'));
    std::string accents;
    for (int i = 0; i < 32768; ++i) accents += "\xc3\xa9";  // é, 2 bytes
    expectSent(accents, accents.substr(0, 65534));
    std::string emoji;
    for (int i = 0; i < 16400; ++i) emoji += "\xf0\x9f\x98\x80";  // 4 bytes each
    expectSent(emoji, emoji.substr(0, 65532));
    // No character boundary near the cut: at most three bytes are given up, never the text.
    const std::string stray(65536, '\x80');
    expectSent(stray, stray.substr(0, 65532));
    EXPECT_EQ(seen.all().size(), 5u);

    std::string out = capturedStdout.take();
    // The console line shows the whole text.
    EXPECT_NE(out.find("Sending TTS request: \"" + ascii + "\", sid: 87, speed: 1.2\n"), std::string::npos);
    EXPECT_NE(out.find("Sending TTS request: \"" + emoji + "\", sid: 87, speed: 1.2\n"), std::string::npos);
    EXPECT_EQ(countOf(out, "Successfully received ACK from server.\n"), 5u);
    for (const char* size : {"65536 bytes is longer than 65535 bytes: sending its first 65535",
                             "65600 bytes is longer than 65535 bytes: sending its first 65532",
                             "65536 bytes is longer than 65535 bytes: sending its first 65532"})
        EXPECT_EQ(processLog().count("TTS text of " + std::string(size) + " bytes", mark), 1u) << size;
}

TEST(ServiceClients, WakeWordMessagesArePrintedInStep) {
    std::string fullReason(64, 'r');
    FakeServer peer(kWakePath, [&](int fd) {
        sendMsg(fd, WAKEWORD_STATE, 0, statePayload(0, 1, "initial_state"));
        sendMsg(fd, WAKEWORD_EVENT, 0, eventPayload(87.5, 2, false));
        std::vector<uint8_t> error(132, 0);
        int32_t code = -7;
        std::memcpy(&error[0], &code, 4);
        std::memcpy(&error[4], "board lost", 10);
        sendMsg(fd, WAKEWORD_ERROR, 0, error);
        sendMsg(fd, 4242, 0, {'a', 'b', 'c', 'd', 'e'});
        sendMsg(fd, WAKEWORD_ACK, 0);
        sendMsg(fd, WAKEWORD_STATE, 0, statePayload(1, 0, fullReason));
        // then hang up
    });
    const size_t mark = processLog().size();
    FdCapture capturedStdout(1, capturePath("stdout"));
    EXPECT_TRUE(velantis::listenWakeWord(nullptr));
    EXPECT_EQ(capturedStdout.take(),
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
    for (const char* line : {"Connected to wake word server", "Unknown message type: 4242",
                             "Unknown message type: 1004", "Server disconnected or socket connection invalid"})
        EXPECT_EQ(processLog().count(line, mark), 1u) << line;
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
        sendMsg(fd, WAKEWORD_STATE, 0, statePayload(0, 0, "initial_state"));
        readToTheEnd(fd);
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
    EXPECT_FALSE(waitUntil([&] { return returned.load(); }, 50ms)) << "the listener waits for more";
    velantis::stopWakeWordListening();
    EXPECT_TRUE(waitUntil([&] { return returned.load(); }, 5s));
    listener.join();
    EXPECT_TRUE(result.load());
    EXPECT_EQ(g_wakeword_client_fd, -1);
    EXPECT_TRUE(waitUntil([&] { return ended.load() == 1; }, 5s)) << "the connection was not closed";
}

TEST(ServiceClients, StopFromInsideTheCallback) {
    FakeServer peer(kWakePath, [&](int fd) {
        sendMsg(fd, WAKEWORD_STATE, 0, statePayload(0, 0, "initial_state"));
        sendMsg(fd, WAKEWORD_ACK, 0);
        readToTheEnd(fd);
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
    const int before = descriptorCount(::getpid());
    EXPECT_TRUE(velantis::listenWakeWord([](const velantis::MessageHeader&) {}));
    EXPECT_EQ(descriptorCount(::getpid()), before + 1);
    EXPECT_TRUE(velantis::listenWakeWord([](const velantis::MessageHeader&) {}));
    EXPECT_EQ(descriptorCount(::getpid()), before + 1);
    velantis::stopWakeWordListening();
    EXPECT_EQ(descriptorCount(::getpid()), before);

    ::unlink(kWakePath);
    const size_t mark = processLog().size();
    EXPECT_FALSE(velantis::listenWakeWord(nullptr));
    EXPECT_EQ(g_wakeword_client_fd, -1);
    EXPECT_EQ(descriptorCount(::getpid()), before);
    EXPECT_EQ(processLog().count("Failed to connect to server: No such file or directory", mark), 1u);
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
    EXPECT_EQ(::recv(sv[1], bytes, sizeof(bytes), MSG_DONTWAIT), 24);

    ::close(sv[1]);
    FdCapture capturedStderr(2, capturePath("stderr"));
    EXPECT_FALSE(sendMessage(sv[0], header(TTS_REQUEST, 3, 1), payload));
    EXPECT_EQ(capturedStderr.take(), "Error sending message header: Broken pipe\n");
    ::close(sv[0]);
}

int main(int argc, char** argv) {
    // Before any thread: the fixed socket paths then live in a /tmp of this process's own.
    if (!enterPrivateTmp({})) std::cerr << "note: using the real /tmp (needs root for a private one)" << std::endl;
    s_id_at_load = currentId();
    processLog();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
