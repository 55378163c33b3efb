// The cloud conversation against the fake TLS cloud on loopback: handshake and hello,
// upstream packets, received speech, text messages, closes and failures, emoji and turns.
#include "tests/agent/playback_test_support.h"
#include "tests/rig/cloud/fake_cloud.h"
#include "tests/rig/cloud/ogg_opus.h"
#include "tests/rig/robot/robot_trace.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

using namespace conversation_test;
using namespace test_support;
using namespace std::chrono_literals;
using Level = spdlog::level::level_enum;

namespace {

constexpr uint16_t kCloudPort = VELANTIS_CLOUD_PORT;
const std::string kHello =
    "{\"device_id\":\"00:11:22:33:44:55\",\"device_mac\":\"00:11:22:33:44:55\","
    "\"device_name\":\"Web测试设备\",\"token\":\"bravo_key92\",\"type\":\"hello\"}";
const std::string kUrl = "wss://localhost:" + std::to_string(kCloudPort) +
                         "/embodied/tolvane/v1/?device-id=00:11:22:33:44:55&client-id=web_test_client";

// A text frame for each of `texts`.
std::vector<cloud_rig::CloudAction> textFrames(const std::vector<std::string>& texts) {
    std::vector<cloud_rig::CloudAction> actions;
    for (const auto& t : texts) actions.push_back(cloud_rig::CloudAction::text(t));
    return actions;
}

class WsControllerTest : public ConversationTest {
protected:
    static void SetUpTestSuite() {
        setUpSuite("ws_controller_test", 4.0, [] {
            certs_ = cloud_rig::makeCloudCertificates(path("certs"));
            ::setenv("SSL_CERT_FILE", certs_.caFile.c_str(), 1);
        });
    }

    void TearDown() override {
        controller_->disconnect();
        if (cloud_) cloud_->stop();
        cloud_.reset();
    }

    // A fresh cloud, started on the controller's port, answering each hello with `onHello`.
    cloud_rig::FakeCloud& startCloud(std::vector<cloud_rig::CloudAction> onHello = {},
                                     const std::string& requiredAuthorization = "bravo_key92",
                                     const cloud_rig::CloudCertificates& certs = certs_) {
        cloud_rig::FakeCloud::Options o;
        o.certFile = certs.certFile;
        o.keyFile = certs.keyFile;
        o.requiredAuthorization = requiredAuthorization;
        o.port = kCloudPort;
        o.logFile = path("cloud.log");
        cloud_ = std::make_unique<cloud_rig::FakeCloud>(o);
        if (!onHello.empty()) cloud_->on(cloud_rig::CloudTrigger::Hello, std::move(onHello));
        if (!cloud_->start()) throw std::runtime_error("fake cloud: " + cloud_->error());
        return *cloud_;
    }

    // Starts a cloud that answers the hello with `messages`, connects, and returns what the
    // connection's thread logged from `firstLine` on, once "Received STT text: done" is logged.
    std::vector<LogEntry> logsOfMessages(std::vector<cloud_rig::CloudAction> messages, const std::string& firstLine) {
        startCloud(std::move(messages));
        const size_t mark = processLog().size();
        connectAndWaitForHello();
        EXPECT_TRUE(processLog().waitForLine(mark, Level::info, "Received STT text: done", 10s));
        const auto logs = processLog().since(mark);
        const long first = findLog(logs, Level::info, firstLine);
        EXPECT_GE(first, 0) << firstLine;
        // The robot's worker may log in between: keep to the connection thread.
        return first < 0 ? std::vector<LogEntry>{} : sameThreadFrom(logs, static_cast<size_t>(first));
    }

    // Connects and waits for the hello of connection `n`.
    void connectAndWaitForHello(int n = 1) {
        controller_->connect();
        ASSERT_TRUE(cloud_->waitUntil([&] { return helloCount(n) == 1; }, 10s));
        ASSERT_TRUE(waitForState(1));
    }

    // Connects, waits for an entry starting with one of `ends` and the close, and sees no
    // second connection for half a second. Returns the log mark from before the connect.
    size_t connectUntilClosed(const std::vector<std::pair<Level, std::string>>& ends) {
        const size_t mark = processLog().size();
        controller_->connect();
        EXPECT_TRUE(processLog().waitUntil(
            mark,
            [&](const std::vector<LogEntry>& l) {
                for (const auto& e : ends)
                    if (findLogPrefix(l, e.first, e.second) >= 0) return true;
                return false;
            },
            10s));
        EXPECT_TRUE(waitForState(3));
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(cloud_->connectionCount(), 1);
        return mark;
    }

    size_t helloCount(int connection) const {
        size_t n = 0;
        for (const auto& f : cloud_->frames(cloud_rig::FrameKind::Text))
            n += (f.connection == connection && f.data == kHello) ? 1 : 0;
        return n;
    }

    static bool waitForState(int state) {
        return waitUntil([&] { return controller_->getConnectionState() == state; }, 10s);
    }

    static long findLogPrefix(const std::vector<LogEntry>& logs, Level level, const std::string& prefix) {
        for (size_t i = 0; i < logs.size(); ++i)
            if (logs[i].level == level && startsWith(logs[i].text, prefix)) return static_cast<long>(i);
        return -1;
    }

    inline static cloud_rig::CloudCertificates certs_;
    std::unique_ptr<cloud_rig::FakeCloud> cloud_;
};

// "[YYYY-MM-DD hh:mm:ss.mmm] Received binary message of size: N": N, and "" for other lines.
std::string binaryLineSize(const std::string& line) {
    static const std::string shape = "[0000-00-00 00:00:00.000] Received binary message of size: ";
    if (line.size() <= shape.size() || line.find_first_not_of("0123456789", shape.size()) != std::string::npos)
        return "";
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i]) return "";
    return line.substr(shape.size());
}

// Runs first: nothing is connected and nothing connects by itself.
TEST_F(WsControllerTest, ClosedBeforeTheFirstConnectAndPacketsAreDropped) {
    auto& cloud = startCloud();
    EXPECT_EQ(controller_->getConnectionState(), 3);
    const size_t mark = processLog().size();
    controller_->sendMessage("packet");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(cloud.connectionCount(), 0);
    EXPECT_EQ(countLog(processLog().since(mark), Level::warn, "WebSocket is not open, try to reconnect"), 1u);
}

TEST_F(WsControllerTest, HelloIsTheFirstFrame100msAfterOpenThenPacketsGoUpUnchanged) {
    auto& cloud = startCloud();
    const size_t mark = processLog().size();
    controller_->connect();
    const int state = controller_->getConnectionState();
    EXPECT_TRUE(state == 0 || state == 1) << state;
    // Packets handed over once the connection is open but before the hello are dropped.
    ASSERT_TRUE(waitForState(1));
    for (int i = 0; i < 5; ++i) controller_->sendMessage("early");
    ASSERT_TRUE(cloud.waitForFrames(1, 10s));

    auto frames = cloud.frames();
    EXPECT_EQ(frames[0].kind, cloud_rig::FrameKind::Text);
    EXPECT_EQ(frames[0].data, kHello);
    EXPECT_GE(frames[0].at - cloud.openedAt(1), 100ms);

    auto handshakes = cloud.handshakes();
    ASSERT_EQ(handshakes.size(), 1u);
    EXPECT_EQ(handshakes[0].path, "/embodied/tolvane/v1/");
    EXPECT_EQ(handshakes[0].query, "device-id=00:11:22:33:44:55&client-id=web_test_client");
    EXPECT_EQ(handshakes[0].headers["authorization"], "bravo_key92");
    EXPECT_TRUE(handshakes[0].accepted);

    ASSERT_TRUE(processLog().waitForLine(mark, Level::info, "Sending message: " + kHello, 5s));
    auto logs = processLog().since(mark);
    const long agent = findLog(logs, Level::info, velantis::net::userAgent());
    const long connecting = findLog(logs, Level::info, "Connecting to " + kUrl);
    const long opened = findLogPrefix(logs, Level::info, "Connection opened:\n");
    EXPECT_GE(agent, 0);
    EXPECT_GT(connecting, agent);
    EXPECT_GT(opened, connecting);

    std::vector<std::string> packets;
    for (int i = 0; i < 3; ++i) {
        std::string p(static_cast<size_t>(100 + 1900 * i), '\0');
        for (size_t j = 0; j < p.size(); ++j) p[j] = static_cast<char>((j * 31 + static_cast<size_t>(i)) & 0xff);
        packets.push_back(p);
        controller_->sendMessage(p);
    }
    auto sent = [&] {
        std::vector<std::string> data;
        for (const auto& frame : cloud.frames(cloud_rig::FrameKind::Binary))
            if (frame.data != "early")  // only a test thread slower than 100 ms lets these through
                data.push_back(frame.data);
        return data;
    };
    ASSERT_TRUE(cloud.waitUntil([&] { return sent().size() >= 3; }, 10s));
    EXPECT_EQ(sent(), packets);

    controller_->disconnect();
    EXPECT_EQ(controller_->getConnectionState(), 3);
    ASSERT_TRUE(cloud.waitUntil([&] { return !cloud.frames(cloud_rig::FrameKind::Close).empty(); }, 10s));
    auto close = cloud.frames(cloud_rig::FrameKind::Close)[0];
    EXPECT_EQ(close.closeCode, 1000);
    EXPECT_EQ(close.closeReason, "Normal closure");
}

TEST_F(WsControllerTest, ReceivedStreamsArePrintedDecodedAndPlayed) {
    const auto first = cloud_rig::chirp(1.0);
    const auto second = cloud_rig::chirp(0.5, 48000, 2000.0, 500.0);
    const std::string s1 = cloud_rig::encodeOggOpus(first), s2 = cloud_rig::encodeOggOpus(second);
    startCloud({cloud_rig::CloudAction::binary(s1), cloud_rig::CloudAction::binary(s2)});

    const size_t before = speakerSamples();
    FdCapture out(1, path("binary.out"));
    connectAndWaitForHello();
    waitUntil([&] { return speakerSamples() >= before + first.size() + second.size(); }, 15s);

    auto played = speakerSince(before);
    ASSERT_EQ(played.size(), first.size() + second.size());
    EXPECT_GT(cloud_rig::bestCorrelation(first, std::vector<int16_t>(played.begin(), played.begin() + 48000), 0), 0.95);
    EXPECT_GT(cloud_rig::bestCorrelation(second, std::vector<int16_t>(played.begin() + 48000, played.end()), 0), 0.95);

    std::vector<std::string> sizes;
    for (const auto& l : out.lines())
        if (!binaryLineSize(l).empty()) sizes.push_back(binaryLineSize(l));
    EXPECT_EQ(sizes, (std::vector<std::string>{std::to_string(s1.size()), std::to_string(s2.size())}));
}

TEST_F(WsControllerTest, ControlMessagesBecomeCommandLists) {
    const auto logs = logsOfMessages(textFrames({R"({"type":"control","value":"前,2;左转,45;停"})",
                                                 R"({"type":"control","value":""})", R"({"type":"control"})",
                                                 R"({"type":"control","value":"前,abc"})",
                                                 R"({"type":"control","value":5})", R"({"type":"stt","text":"done"})"}),
                                     "Control command: 前,2;左转,45;停");
    // Two movements were queued (the stop word is a posture task).
    EXPECT_EQ(countStarting(logs, "Handling movement command with direction:, duration: "), 2u);
    const long i = findLog(logs, Level::info, "Control command: ");
    ASSERT_GE(i, 0);
    EXPECT_EQ(logs[static_cast<size_t>(i) + 1].text, "Received empty message block");
    EXPECT_GE(findLog(logs, Level::warn, "Control message does not contain 'value'"), 0);
    EXPECT_GE(findLog(logs, Level::info, "Control command: 前,abc"), 0);
    EXPECT_GE(findLog(logs, Level::err, "Failed to parse command value: abc - stof"), 0);
    EXPECT_GE(findLogPrefix(logs, Level::err, "Failed to parse JSON message: [json.exception.type_error.302]"), 0);
}

TEST(WsControllerCommandList, ParsingRules) {
    using List = std::vector<std::pair<std::string, int>>;
    processLog();
    EXPECT_EQ(velantis::parseCommandList("前,2;左转,45;停"), (List{{"前", 2}, {"左转", 45}, {"停", 0}}));
    EXPECT_EQ(velantis::parseCommandList("前,2.5"), (List{{"前", 3}}));
    EXPECT_EQ(velantis::parseCommandList("前,-2.5"), (List{{"前", -3}}));
    EXPECT_EQ(velantis::parseCommandList("前,2.4"), (List{{"前", 2}}));
    EXPECT_EQ(velantis::parseCommandList("前, 2"), (List{{"前", 2}}));
    EXPECT_EQ(velantis::parseCommandList(" 前,1"), (List{{" 前", 1}}));
    EXPECT_EQ(velantis::parseCommandList("前,2,3"), (List{{"前", 2}}));
    EXPECT_EQ(velantis::parseCommandList("前,1;"), (List{{"前", 1}}));
    EXPECT_EQ(velantis::parseCommandList(";前,1"), (List{{"", 0}, {"前", 1}}));
    EXPECT_EQ(velantis::parseCommandList("前;;后"), (List{{"前", 0}, {"", 0}, {"后", 0}}));
    EXPECT_EQ(velantis::parseCommandList("前,-2147483648"), (List{{"前", -2147483647 - 1}}));

    // Numbers without an int value are left out with the conversion message.
    const size_t mark = processLog().size();
    EXPECT_EQ(velantis::parseCommandList("前,abc;后,1"), (List{{"后", 1}}));
    EXPECT_EQ(velantis::parseCommandList("前,"), List{});
    EXPECT_EQ(velantis::parseCommandList("前,inf;前,-inf;前,nan"), List{});
    EXPECT_EQ(velantis::parseCommandList("前,3e9;前,1e50;前,2147483647"), List{});
    auto logs = processLog().since(mark);
    for (const char* text : {"abc", "", "inf", "-inf", "nan", "3e9", "1e50", "2147483647"})
        EXPECT_EQ(countLog(logs, Level::err, std::string("Failed to parse command value: ") + text + " - stof"), 1u)
            << text;
}

TEST_F(WsControllerTest, TextMessagesAreLoggedAndStartShowsEmoji5) {
    robot_rig::TraceReader trace(path("robot.trace"));
    const size_t strip = trace.count("LightStripControl");
    auto messages = textFrames({R"({"type":"tts","state":"start"})", R"({"type":"tts","text":"你好"})",
                                R"({"type":"tts","state":"stop","text":"bye"})",
                                R"({"type":"tts","state":"start","text":7})", R"({"type":"stt","text":"hi"})",
                                R"({"type":"stt"})", R"({"type":"hello","session":"x"})", R"({"type":"ping"})", "[]",
                                "42", R"({"a":1})", "not json", R"({"type":5})", R"({"type":"stt","text":"done"})"});
    messages.insert(messages.end() - 1, cloud_rig::CloudAction::ping("abc"));
    // Everything the messages produced, in order, from the first one on.
    auto cut = [](const std::string& t) {
        return startsWith(t, "Failed to parse JSON message: ") ? t.substr(0, 44) : t;
    };
    std::vector<std::pair<Level, std::string>> got;
    for (const auto& e : logsOfMessages(messages, "Received TTS state: start")) got.emplace_back(e.level, cut(e.text));
    std::vector<std::pair<Level, std::string>> expected = {
        {Level::info, "Received TTS state: start"},
        {Level::info, "Setting emoji state: 5"},
        {Level::warn, "TTS message does not contain 'text'"},
        {Level::warn, "TTS message does not contain 'state'"},
        {Level::info, "Received TTS text: 你好"},
        {Level::info, "Received TTS state: stop"},
        {Level::info, "Received TTS text: bye"},
        {Level::info, "Received TTS state: start"},
        {Level::info, "Setting emoji state: 5"},
        {Level::err, "Failed to parse JSON message: [json.exception.type_error.302]"},
        {Level::info, "Received STT text: hi"},
        {Level::warn, "STT message does not contain 'text'"},
        {Level::warn, "Unknown message type: ping"},
        {Level::err, "Failed to parse JSON message: [json.exception.parse_error.101]"},
        {Level::err, "Failed to parse JSON message: [json.exception.type_error.302]"},
        {Level::err, "Unknown message type: 4, with msg: abc"},
        {Level::info, "Received STT text: done"}};
    for (auto& e : expected) e.second = cut(e.second);
    EXPECT_EQ(got, expected);

    ASSERT_EQ(trace.wait_for_count("LightStripControl", strip + 2, 5s), strip + 2);
    auto calls = trace.calls("LightStripControl");
    EXPECT_EQ(calls[strip].num("emoji"), 5);
    EXPECT_EQ(calls[strip + 1].num("emoji"), 5);
}

TEST_F(WsControllerTest, ServerCloseIsLoggedAndOnlyTheConversationRestartsIt) {
    auto& cloud = startCloud({cloud_rig::CloudAction::close(4000, "enough")});
    connectUntilClosed({{Level::info, "Connection closed: enough"}});

    // A packet while the conversation runs restarts the connection (and is dropped).
    controller_->sendMessage("lost packet");
    ASSERT_TRUE(cloud.waitUntil([&] { return helloCount(2) == 1; }, 10s));
    EXPECT_TRUE(cloud.frames(cloud_rig::FrameKind::Binary).empty());

    // After the conversation has ended nothing reopens it.
    controller_->disconnect();
    const size_t after = processLog().size();
    controller_->sendMessage("late packet");
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(cloud.connectionCount(), 2);
    EXPECT_EQ(countLog(processLog().since(after), Level::warn, "WebSocket is not open, try to reconnect"), 1u);
}

TEST_F(WsControllerTest, DroppedConnectionIsNotReconnected) {
    startCloud({cloud_rig::CloudAction::drop()});
    connectUntilClosed({{Level::info, "Connection closed: "}, {Level::err, "Error: "}});
}

TEST_F(WsControllerTest, UntrustedCertificateIsAnErrorWithoutRetry) {
    auto& cloud = startCloud({}, "bravo_key92", cloud_rig::makeCloudCertificates(path("other-certs")));
    const size_t mark = connectUntilClosed({{Level::err, "Error: "}});
    EXPECT_TRUE(cloud.handshakes().empty());
    EXPECT_EQ(findLog(processLog().since(mark), Level::info, "Sending message: " + kHello), -1);
}

TEST_F(WsControllerTest, RefusedAuthorizationIsAnErrorWithoutRetry) {
    auto& cloud = startCloud({}, "another-token");
    connectUntilClosed({{Level::err, "Error: "}});
    ASSERT_EQ(cloud.handshakes().size(), 1u);
    EXPECT_FALSE(cloud.handshakes()[0].accepted);
}

// A recorder that sends the moment the connection is open never gets ahead of the hello.
TEST_F(WsControllerTest, HelloIsFirstWithAnEagerSender) {
    auto& cloud = startCloud();
    std::atomic<bool> done{false};
    std::thread eager([&] {
        while (!done) {
            if (controller_->getConnectionState() == 1)
                controller_->sendMessage("eager");
            else
                std::this_thread::yield();
        }
    });
    constexpr int kRounds = 6;
    for (int round = 1; round <= kRounds; ++round) {
        controller_->connect();
        ASSERT_TRUE(cloud.waitUntil(
            [&] {
                const auto frames = cloud.frames(cloud_rig::FrameKind::Binary);
                return std::count_if(frames.begin(), frames.end(), [&](auto& f) { return f.connection == round; }) >= 5;
            },
            10s));
        controller_->disconnect();
    }
    done = true;
    eager.join();
    for (int round = 1; round <= kRounds; ++round) {
        SCOPED_TRACE(round);
        for (const auto& f : cloud.frames()) {
            if (f.connection != round) continue;
            EXPECT_EQ(f.kind, cloud_rig::FrameKind::Text);
            EXPECT_EQ(f.data, kHello);
            break;
        }
    }
}

// A goodbye during an answer cuts the speech in hand; neither the rest of it nor the stream
// still waiting plays after the goodbye, however long the disconnect takes to follow.
TEST_F(WsControllerTest, GoodbyeCutsTheSpeechInHand) {
    const auto speech = cloud_rig::chirp(6.0);
    const std::string stream = cloud_rig::encodeOggOpus(speech);
    const std::vector<int16_t> chime(4800, -555), tone(12000, 1234);
    const std::string greeting = writeWave("greeting.wav", pcmBytes(chime));
    const std::string goodbye = writeWave("goodbye.wav", pcmBytes(tone));
    auto& cloud = startCloud({cloud_rig::CloudAction::binary(stream), cloud_rig::CloudAction::binary(stream)});
    const size_t before = speakerSamples();
    FdCapture out(1, path("inhand.out"));
    // As a wake-up does it: connect, then the greeting; the answer follows the hello.
    controller_->connect();
    controller_->processWaveFile(greeting);
    waitUntil([&] { return speakerSamples() >= before + chime.size() + 9600; }, 10s, 2ms);
    const size_t atGoodbye = speakerSamples() - before;
    ASSERT_GE(atGoodbye, chime.size() + 9600) << "the answer did not start";
    controller_->processGoodbyeFile(goodbye);
    // A slow robot before the disconnect: the stream still waiting arrives and does not play.
    auto binaryLines = [&] {
        const auto lines = out.lines();
        return std::count_if(lines.begin(), lines.end(), [](auto& l) { return !binaryLineSize(l).empty(); });
    };
    waitUntil([&] { return binaryLines() >= 2; }, 10s, 5ms);
    EXPECT_EQ(binaryLines(), 2);
    std::this_thread::sleep_for(100ms);
    controller_->disconnect();
    out.restore();
    EXPECT_TRUE(cloud.waitUntil([&] { return cloud.frames(cloud_rig::FrameKind::Close).size() == 1; }, 5s));
    // The speaker file holds what was written, the part of it that the goodbye dropped too.
    const auto played = speakerSince(before);
    ASSERT_GE(played.size(), chime.size() + tone.size());
    EXPECT_TRUE(std::equal(chime.begin(), chime.end(), played.begin()));
    EXPECT_TRUE(std::equal(tone.begin(), tone.end(), played.end() - static_cast<long>(tone.size())));
    // The answer up to the goodbye and at most a second more (a quarter second at this pace)
    // taken between looking at the speaker and the cut.
    const size_t answered = played.size() - chime.size() - tone.size();
    EXPECT_GE(answered, atGoodbye - chime.size());
    EXPECT_LT(answered, atGoodbye - chime.size() + 48000);
    EXPECT_LT(answered, speech.size());
}

TEST_F(WsControllerTest, ConnectWithoutDisconnectStartsAFreshConnection) {
    auto& cloud = startCloud();
    connectAndWaitForHello(1);
    connectAndWaitForHello(2);
    EXPECT_EQ(cloud.connectionCount(), 2);
    auto closes = cloud.frames(cloud_rig::FrameKind::Close);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].connection, 1);
    EXPECT_EQ(closes[0].closeCode, 1000);
    EXPECT_TRUE(cloud.waitUntil([&] { return cloud.openConnections() == 1; }, 5s));
}

TEST_F(WsControllerTest, EmojiStates) {
    robot_rig::TraceReader trace(path("robot.trace"));
    const size_t strip = trace.count("LightStripControl");
    const size_t mark = processLog().size();
    for (int emoji : {0, 8, 9, 12, -1, 11}) controller_->rcSetEmoji(emoji);
    auto logs = processLog().since(mark);
    std::vector<std::pair<Level, std::string>> got;
    for (const auto& e : logs)
        if (e.text.find("moji state") != std::string::npos) got.emplace_back(e.level, e.text);
    std::vector<std::pair<Level, std::string>> expected = {
        {Level::info, "Setting emoji state: 0"},
        {Level::info, "Setting emoji state: 8"},
        {Level::warn, "Emoji state 9 is not supported, will using default state 8"},
        {Level::info, "Setting emoji state: 8"},
        {Level::err, "Invalid emoji state: 12"},
        {Level::err, "Invalid emoji state: -1"},
        {Level::warn, "Emoji state 11 is not supported, will using default state 8"},
        {Level::info, "Setting emoji state: 8"}};
    EXPECT_EQ(got, expected);
    ASSERT_EQ(trace.wait_for_count("LightStripControl", strip + 4, 5s), strip + 4);
    auto calls = trace.calls("LightStripControl");
    std::vector<long long> emojis;
    for (size_t i = strip; i < calls.size(); ++i) {
        emojis.push_back(calls[i].num("emoji"));
        EXPECT_EQ(calls[i].str("strip"), "led");
    }
    EXPECT_EQ(emojis, (std::vector<long long>{0, 8, 8, 8}));
}

TEST_F(WsControllerTest, TurnTowardsTheSpeaker) {
    struct Case {
        double angle;
        std::string line;  // "" when there is no turn
    };
    const std::vector<Case> cases = {{140.0, ""},
                                     {139.0, ""},
                                     {141.9, ""},
                                     {142.0, "rcFollowAwaken: 左转, angle_int = 1"},
                                     {200.0, "rcFollowAwaken: 左转, angle_int = 30"},
                                     {319.9, "rcFollowAwaken: 左转, angle_int = 89"},
                                     {320.0, "rcFollowAwaken: 右转, angle_int = -90"},
                                     {0.0, "rcFollowAwaken: 右转, angle_int = -70"},
                                     {359.9, "rcFollowAwaken: 右转, angle_int = -70"},
                                     {720.0, "rcFollowAwaken: 右转, angle_int = -70"},
                                     {138.0, "rcFollowAwaken: 右转, angle_int = -1"},
                                     {-10.5, "rcFollowAwaken: 右转, angle_int = -75"},
                                     {-401.0, "rcFollowAwaken: 右转, angle_int = -90"},
                                     {-500.0, "rcFollowAwaken: 右转, angle_int = -140"},
                                     {std::nan(""), ""},
                                     {std::numeric_limits<double>::infinity(), ""},
                                     {-1e12, ""},
                                     {2147483648.0, ""}};
    const size_t first = processLog().size();
    for (const auto& c : cases) {
        const size_t mark = processLog().size();
        controller_->rcFollowAwaken(c.angle, 7);
        auto all = processLog().since(mark);
        const long start = findLog(all, Level::info, "Following awaken command");
        ASSERT_GE(start, 0) << c.angle;
        // The robot's worker may log in between: keep to this thread.
        auto logs = sameThreadFrom(all, static_cast<size_t>(start));
        const size_t turns = c.line.empty() ? 0 : 1;
        EXPECT_EQ(countStarting(logs, "rcFollowAwaken: 左转") + countStarting(logs, "rcFollowAwaken: 右转"), turns)
            << c.angle;
        EXPECT_EQ(countStarting(logs, "Handling movement command"), turns) << c.angle;
        if (!c.line.empty()) {
            ASSERT_GE(logs.size(), 2u);
            EXPECT_EQ(logs[1].text, c.line) << c.angle;
        }
        const bool usable = c.angle > -2147483649.0 && c.angle < 2147483648.0;
        EXPECT_EQ(findLogPrefix(logs, Level::warn, "rcFollowAwaken: unusable angle") >= 0, !usable) << c.angle;
    }

    // Which way the robot turns: with the drive on and standing, each turn is one run of
    // movement calls at angular z +0.5 (左转) or -0.5 (右转) for (n / 30 + 1) s.
    // The robot lies with the drive off until now, so the turns above were refused.
    const std::string refused = "Robot is not in a valid state to move.";
    ASSERT_TRUE(processLog().waitUntil(
        first, [&](const std::vector<LogEntry>& l) { return countLog(l, Level::err, refused) >= 11; }, 10s));
    std::this_thread::sleep_for(100ms);
    ::setenv("MC_SIM_DRIVE", "1", 1);
    ::setenv("MC_SIM_SCENE", "2", 1);
    ASSERT_TRUE(rcClientInterfaceInit("0.0.0.0"));  // a freshly started robot, standing
    robot_rig::TraceReader trace(path("robot.trace"));
    const size_t before = trace.all().size();
    const size_t moves = trace.count("DirectionMovement");
    controller_->rcFollowAwaken(142.0, 0);  // ("左转", 1): 1033 ms
    controller_->rcFollowAwaken(138.0, 0);  // ("右转", 1)
    controller_->rcFollowAwaken(320.0, 0);  // ("右转", 90): 4000 ms
    EXPECT_EQ(trace.wait_for_count("DirectionMovement", moves + 606, 20s), moves + 606);
    std::this_thread::sleep_for(50ms);
    ::unsetenv("MC_SIM_DRIVE");
    ::unsetenv("MC_SIM_SCENE");
    rcClientInterfaceInit("0.0.0.0");  // back to lying with the drive off

    // The worker's calls only: the wake-up thread reads the status in between.
    auto all = trace.all();
    std::vector<robot_rig::TraceCall> worker;
    long tid = 0;
    for (size_t i = before; i < all.size(); ++i)
        if (!tid && robot_rig::is_call(all[i], "DirectionMovement")) tid = all[i].tid;
    for (size_t i = before; i < all.size(); ++i)
        if (all[i].tid == tid) worker.push_back(all[i]);
    auto runs = robot_rig::movement_runs(worker);
    ASSERT_EQ(runs.size(), 3u);
    const std::vector<std::pair<size_t, double>> expected = {{103, 0.5}, {103, -0.5}, {400, -0.5}};
    for (size_t r = 0; r < runs.size(); ++r) {
        EXPECT_EQ(runs[r].size(), expected[r].first) << r;
        for (const auto& call : runs[r]) {
            ASSERT_DOUBLE_EQ(call.real("az"), expected[r].second) << call.line;
            ASSERT_TRUE(call.result()) << call.line;
        }
    }
}

}  // namespace
