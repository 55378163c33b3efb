// One whole conversation through the agent process: board, microphone, cloud, speaker, robot.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "tests/rig/agent/conversation_rig.h"

using namespace std::chrono_literals;
using test_support::countOf;
using test_support::waitUntil;

namespace {

// The conversation rig around a running agent; skipped without root.
class AgentEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::canFakeTtyacm0())
            GTEST_SKIP() << "needs root for private mount and network namespaces (own /dev/ttyACM0, /tmp, loopback)";
    }
    // Sets the rig up and starts recording (AGENT_START with `id`, board handshake done).
    void startRecording(const agent_rig::CloudScript& script = {}, uint64_t id = 1) {
        std::string error;
        ASSERT_TRUE(rig.setUp(&error, "", script)) << error;
        error = rig.startRecording(id);
        ASSERT_EQ(error, "");
    }
    // The agent still runs and no sanitizer spoke.
    void expectHealthy() {
        EXPECT_TRUE(agent.running());
        EXPECT_EQ(agent.errors().find("Sanitizer"), std::string::npos) << agent.errors();
    }

    agent_rig::ConversationRig rig;
    agent_rig::AgentProcess& agent = rig.agent();
};

TEST_F(AgentEndToEnd, WholeConversation) {
    // Start: answered at once; the link sets up the port and acknowledges the handshake.
    ASSERT_NO_FATAL_FAILURE(startRecording({}, 77));
    auto& cloud = rig.cloud();
    auto& trace = rig.trace();

    // First wake-up (angle 60, beam 2): a conversation starts.
    auto woke = rig.wakeUp();
    ASSERT_TRUE(agent.waitForOutput("Callback executed, post awaken.", 20s)) << agent.output() << agent.log();
    std::string out = agent.output();
    EXPECT_NE(out.find("-- callback -- with angle: 60, beam: 2\n"), std::string::npos) << out;
    EXPECT_TRUE(agent.waitForLog("recording task not running, start it", 5s));
    EXPECT_TRUE(agent.waitForLog("Awakened, start recording", 10s));

    // The cloud: authorised handshake, hello first.
    ASSERT_TRUE(cloud.waitForHandshakes(1, 20s));
    auto hs = cloud.handshakes().at(0);
    EXPECT_TRUE(hs.accepted);
    EXPECT_EQ(hs.path, "/embodied/tolvane/v1/");
    ASSERT_TRUE(cloud.waitForFrames(1, 20s));
    auto first = cloud.frames().at(0);
    ASSERT_EQ(first.kind, cloud_rig::FrameKind::Text) << "the first frame is not the hello";
    auto hello = nlohmann::json::parse(first.data);
    EXPECT_EQ(hello.at("type"), "hello");
    EXPECT_EQ(hello.at("token"), "bravo_key92");

    // Greeting emoji and the turn towards the speaker (right for 60 degrees: 右转 40).
    EXPECT_TRUE(trace.wait_for_call("LightStripControl", 20s,
                                    [](const robot_rig::TraceCall& c) { return c.num("emoji") == 7; }));
    EXPECT_TRUE(trace.wait_for_call("DirectionMovement", 20s, [](const robot_rig::TraceCall& c) {
        return std::abs(c.real("az")) > 0.4 && c.result();
    })) << test_support::readFile(trace.path());

    // The answer: emoji 5, movement forward, wag-tail (emoji 6, demo action 3).
    EXPECT_TRUE(trace.wait_for_call("LightStripControl", 20s,
                                    [](const robot_rig::TraceCall& c) { return c.num("emoji") == 5; }));
    EXPECT_TRUE(trace.wait_until(
        [](const std::vector<robot_rig::TraceCall>& calls) {
            size_t forward = 0;
            for (const auto& c : calls)
                if (robot_rig::is_call(c, "DirectionMovement") && c.result() && std::abs(c.real("lx") - 0.5) < 1e-3)
                    ++forward;
            return forward >= 60;
        },
        30s))
        << test_support::readFile(trace.path());
    EXPECT_TRUE(trace.wait_for_call("LightStripControl", 20s,
                                    [](const robot_rig::TraceCall& c) { return c.num("emoji") == 6; }));
    EXPECT_TRUE(
        trace.wait_for_call("DemoControl", 20s, [](const robot_rig::TraceCall& c) { return c.num("action") == 3; }));
    EXPECT_TRUE(agent.waitForLog("Received STT text: " + rig.script().stt, 5s));
    EXPECT_TRUE(agent.waitForLog("Control command: " + rig.script().control, 5s));

    // At least 3 s of microphone audio upstream before the conversation is ended.
    ASSERT_TRUE(cloud.waitUntil([&] { return rig.upstreamPackets(1).size() >= 50; }, 30s))
        << rig.upstreamPackets(1).size() << " packets";

    // Second wake-up: goodbye, emoji 4, normal close.
    rig.wakeUp();
    ASSERT_TRUE(agent.waitForLog("recording task is already running, stop it", 20s)) << agent.log();
    ASSERT_TRUE(rig.waitForFrame(1, cloud_rig::FrameKind::Close, 30s)) << agent.log();
    auto closes = cloud.frames(cloud_rig::FrameKind::Close);
    EXPECT_EQ(closes.at(0).closeCode, 1000);
    EXPECT_EQ(closes.at(0).closeReason, "Normal closure");
    EXPECT_TRUE(trace.wait_for_call("LightStripControl", 10s,
                                    [](const robot_rig::TraceCall& c) { return c.num("emoji") == 4; }));

    // Upstream: single raw Opus packets of one 60 ms block each, paced like the microphone,
    // carrying the microphone's signal.
    auto frames = cloud.frames(cloud_rig::FrameKind::Binary);
    ASSERT_GE(frames.size(), 50u);
    for (const auto& f : frames) {
        ASSERT_LE(f.data.size(), 4000u);
        ASSERT_GT(f.data.size(), 0u);
        EXPECT_EQ(opus_packet_get_nb_samples(reinterpret_cast<const unsigned char*>(f.data.data()),
                                             static_cast<opus_int32>(f.data.size()), 16000),
                  960);
    }
    // Paced like the microphone: no more packets than the conversation lasted in 60 ms blocks
    // (plus what the device buffered before it), and no gap or repeat: the end of the upstream
    // audio lies exactly as far into the microphone signal as into the upstream audio.
    double lasted = std::chrono::duration<double>(closes.at(0).at - woke).count();
    EXPECT_LE(frames.size(), static_cast<size_t>(lasted / 0.060) + 40) << lasted << " s";
    auto decoded = agent_rig::ConversationRig::decodeUpstream(rig.upstreamPackets(1));
    ASSERT_EQ(decoded.size(), frames.size() * 960);
    long micFirst = 0, micLast = 0;
    size_t lastAt = decoded.size() - 4000 - 960;
    EXPECT_GT(rig.microphoneMatch(decoded, 960, &micFirst), 0.9);
    EXPECT_GT(rig.microphoneMatch(decoded, lastAt, &micLast), 0.9);
    EXPECT_NEAR(static_cast<double>(micLast - micFirst), static_cast<double>(lastAt - 960), 2.0);

    // Speaker: the greeting, then the cloud's answer, then the goodbye.
    ASSERT_TRUE(agent.waitForLog("Setting emoji state: 4", 20s));
    auto speaker = rig.speaker();
    const auto greeting = rig.greeting(speaker);
    ASSERT_EQ(greeting.at, 0) << "no greeting at the start of " << speaker.size() << " samples";
    const size_t greetEnd = greeting.length;
    const auto& answer = rig.answer();
    ASSERT_GT(answer.size(), 9600u);
    std::vector<int16_t> piece(answer.begin() + 4800, answer.begin() + 9600);
    size_t at = 0;
    double answerCorr = agent_rig::ConversationRig::correlationIn(speaker, piece, greetEnd, greetEnd + 48000, &at);
    EXPECT_GT(answerCorr, 0.95);
    long byeAt = agent_rig::ConversationRig::findSamples(speaker, rig.sound("好的，再见"), greetEnd);
    EXPECT_GE(byeAt, static_cast<long>(greetEnd + answer.size() - 4800));

    // The capture ran unread between set-up and wake-up: its overrun is recovered silently.
    EXPECT_EQ(agent.log().find("Error reading audio data"), std::string::npos);
    EXPECT_EQ(agent.log().find("No audio data readed"), std::string::npos);

    // Stop: answered once the recording thread has ended.
    auto reply = rig.stop(78);
    ASSERT_TRUE(reply.has_value()) << agent.log();
    EXPECT_EQ(reply->type, static_cast<uint32_t>(AGENT_STOP));
    EXPECT_EQ(reply->id, 78u);
    std::string log = agent.log();
    ASSERT_NE(log.find("Audio recording finished."), std::string::npos);
    EXPECT_LT(log.find("Audio recording finished."), log.find("Audio recording stopped."));

    // A later start reopens capture and keeps the one link thread.
    reply = rig.start(79);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->id, 79u);
    EXPECT_TRUE(agent.waitForLog("Waiting for hotword", 20s, 3)) << agent.log();
    log = agent.log();
    EXPECT_EQ(test_support::countOf(log, "Close default soundcard"), 1u);
    EXPECT_EQ(test_support::countOf(log, "Open default soundcard"), 2u);
    EXPECT_EQ(test_support::countOf(log, "New Thread: init_orvanite"), 1u);
    expectHealthy();
}

TEST_F(AgentEndToEnd, StopDuringConversationAndWakeUpWhileStopped) {
    ASSERT_NO_FATAL_FAILURE(startRecording());
    auto& cloud = rig.cloud();
    rig.wakeUp();
    ASSERT_TRUE(cloud.waitUntil([&] { return rig.upstreamPackets(1).size() >= 10; }, 30s)) << agent.log();

    // A stop while capturing ends the capture within a block and keeps the connection.
    auto reply = rig.stop(2);
    ASSERT_TRUE(reply.has_value()) << agent.log();
    EXPECT_EQ(reply->id, 2u);
    std::string log = agent.log();
    EXPECT_LT(log.find("Audio recording finished."), log.find("Audio recording stopped."));
    // Packets already on their way arrive (the count holds for half a second), then no more.
    size_t sent = SIZE_MAX;
    test_support::waitUntil(
        [&] {
            const size_t now = cloud.frames(cloud_rig::FrameKind::Binary).size();
            return std::exchange(sent, now) == now;
        },
        10s, 500ms);
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(cloud.frames(cloud_rig::FrameKind::Binary).size(), sent);
    EXPECT_TRUE(cloud.frames(cloud_rig::FrameKind::Close).empty());
    EXPECT_EQ(cloud.openConnections(), 1);

    // Without a recording thread a wake-up still toggles: the flag was cleared by the stop,
    // so this one starts a conversation (greeting, emoji 7), but nothing is captured.
    rig.wakeUp();
    ASSERT_TRUE(agent.waitForLog("recording task not running, start it", 20s, 2)) << agent.log();
    ASSERT_TRUE(agent.waitForLog("Setting emoji state: 7", 20s, 2)) << agent.log();
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(cloud.frames(cloud_rig::FrameKind::Binary).size(), sent);

    // A new recording thread finds that start already posted and captures at once.
    reply = rig.start(3);
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(agent.waitForLog("Awakened, start recording", 20s, 2)) << agent.log();
    EXPECT_TRUE(cloud.waitUntil([&] { return cloud.frames(cloud_rig::FrameKind::Binary).size() >= sent + 10; }, 30s))
        << agent.log();
    EXPECT_EQ(test_support::countOf(agent.log(), "New Thread: init_orvanite"), 1u);
    expectHealthy();
}

// Time between consecutive upstream packets of `connection` that arrived in [from, to].
std::chrono::steady_clock::duration longestUpstreamPause(cloud_rig::FakeCloud& cloud, int connection,
                                                         std::chrono::steady_clock::time_point from,
                                                         std::chrono::steady_clock::time_point to) {
    std::chrono::steady_clock::duration longest{};
    std::chrono::steady_clock::time_point last = from;
    for (const auto& f : cloud.frames(cloud_rig::FrameKind::Binary)) {
        if (f.connection != connection || f.at < from || f.at > to) continue;
        longest = std::max(longest, f.at - last);
        last = f.at;
    }
    return std::max(longest, to - last);
}

// A long answer, a wake-up in the middle of it, then a cloud that misbehaves in every way
// it can, one conversation each: the agent keeps streaming, ends each conversation in
// bounded time, and the conversation after the last fault works.
TEST_F(AgentEndToEnd, LongAnswerAndMisbehavingCloud) {
    agent_rig::CloudScript script;
    script.answerSeconds = 6.0;
    std::string error;
    ASSERT_TRUE(rig.setUp(&error, "", script)) << error;
    auto& cloud = rig.cloud();
    // Connections 2 to 7 misbehave; 1 and 8 are well behaved.
    cloud.addRule({cloud_rig::CloudTrigger::Hello, 0, {cloud_rig::CloudAction::closeSilently(4000, "bye")}, 2});
    cloud.addRule({cloud_rig::CloudTrigger::Hello, 0, {cloud_rig::CloudAction::stopReading()}, 3});
    cloud.silence(cloud_rig::CloudSilence::BeforeUpgrade, 4);
    cloud.silence(cloud_rig::CloudSilence::BeforeTls, 5);
    cloud.addRule({cloud_rig::CloudTrigger::Hello, 0, {cloud_rig::CloudAction::reset()}, 6});
    cloud.addRule({cloud_rig::CloudTrigger::Hello, 0, {cloud_rig::CloudAction::stallInText()}, 7});
    ASSERT_EQ(rig.startRecording(), "");

    // While the 6-s answer plays, the microphone's packets keep reaching the cloud.
    rig.wakeUp();
    ASSERT_TRUE(agent.waitForOutput("Received binary message of size: ", 20s)) << agent.log();
    const auto answerAt = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    EXPECT_LT(longestUpstreamPause(cloud, 1, answerAt, std::chrono::steady_clock::now()), 1500ms);

    // A wake-up in the middle of it: the goodbye cuts the answer, and the close follows the
    // goodbye sound at once rather than the rest of the answer and then the goodbye.
    const auto bye = rig.sound("好的，再见");
    const auto byeLength = std::chrono::milliseconds(bye.size() * 1000 / 48000);
    const auto woke = rig.wakeUp();
    ASSERT_TRUE(cloud.waitUntil([&] { return !cloud.frames(cloud_rig::FrameKind::Close).empty(); }, 10s))
        << agent.log();
    EXPECT_LT(cloud.frames(cloud_rig::FrameKind::Close).at(0).at, woke + byeLength + 1500ms);
    EXPECT_GT(cloud.frames(cloud_rig::FrameKind::Close).at(0).at, woke);
    ASSERT_TRUE(agent.waitForLog("Setting emoji state: 4", 10s)) << agent.log();
    std::this_thread::sleep_for(1s);  // the goodbye plays out
    const auto speaker = rig.speaker();
    const long byeAt = agent_rig::ConversationRig::findSamples(speaker, bye);
    ASSERT_GE(byeAt, 0);
    EXPECT_EQ(static_cast<size_t>(byeAt) + bye.size(), speaker.size());  // nothing after the goodbye
    EXPECT_LT(static_cast<size_t>(byeAt), rig.answer().size());          // the answer did not play whole

    // One conversation per fault; each ends with the next wake-up, and the wake-up after it
    // is handled, so no disconnect hangs.
    for (int connection = 2; connection <= 8; ++connection) {
        SCOPED_TRACE(connection);
        rig.wakeUp();
        ASSERT_TRUE(agent.waitForLog("recording task not running, start it", 15s, static_cast<size_t>(connection)))
            << agent.log();
        ASSERT_TRUE(cloud.waitUntil([&] { return cloud.connectionCount() >= connection; }, 10s));
        if (connection == 8) break;
        if (connection != 4 && connection != 5) {
            ASSERT_TRUE(rig.waitForFrame(connection, cloud_rig::FrameKind::Text, 10s));  // the hello
        }
        rig.wakeUp();
        ASSERT_TRUE(
            agent.waitForLog("recording task is already running, stop it", 15s, static_cast<size_t>(connection)))
            << agent.log();
    }

    // The conversation after the faults: hello first, then the microphone's packets.
    ASSERT_TRUE(cloud.waitUntil([&] { return rig.upstreamPackets(8).size() >= 10; }, 20s)) << agent.log();
    for (int connection : {1, 2, 3, 6, 7, 8}) {
        for (const auto& f : cloud.frames()) {
            if (f.connection != connection) continue;
            EXPECT_EQ(f.kind, cloud_rig::FrameKind::Text) << connection;
            EXPECT_NE(f.data.find("\"type\":\"hello\""), std::string::npos) << connection;
            break;
        }
    }
    EXPECT_GT(rig.microphoneCorrelation(agent_rig::ConversationRig::decodeUpstream(rig.upstreamPackets(8))), 0.9);

    // Sound devices that go away and come back, in the middle of conversation 8.
    using alsa_rig::DeviceControl;
    auto& devices = rig.devices();
    auto logLines = [&] { return countOf(agent.log(), "\n"); };
    auto allLines = [&] { return logLines() + countOf(agent.output(), "\n") + countOf(agent.errors(), "\n"); };
    // Lines that `lines` counts per second over a quiet window of the given length.
    auto linesPerSecond = [](const auto& lines, std::chrono::milliseconds window) {
        const size_t before = lines();
        const auto from = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(window);
        return static_cast<double>(lines() - before) /
               std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    };
    auto packetsAfter = [&](int connection, std::chrono::steady_clock::time_point t) {
        std::vector<std::chrono::steady_clock::time_point> at;
        for (const auto& f : rig.frames(connection, cloud_rig::FrameKind::Binary))
            if (f.at > t) at.push_back(f.at);
        return at;
    };
    const std::string lost = "写入音频数据失败: No such device";

    // The speaker goes away while the 6-s answer plays: one error line, and the rest of the
    // answer is dropped instead of being tried block by block.
    devices.unplug(DeviceControl::Playback);
    ASSERT_TRUE(waitUntil([&] { return countOf(agent.errors(), lost) >= 1; }, 10s)) << agent.errors();
    const size_t blocksAtLoss = countOf(agent.output(), "playOnDefaultSpeaker called");
    const double speakerLinesPerSecond = linesPerSecond(allLines, 1500ms);
    EXPECT_EQ(countOf(agent.errors(), lost), 1u) << agent.errors();
    EXPECT_EQ(countOf(agent.output(), "playOnDefaultSpeaker called"), blocksAtLoss);

    // A transient microphone fault: the read is recovered on the same handle.
    devices.failTransfers(DeviceControl::Capture, true);
    ASSERT_TRUE(agent.waitForLog("Error reading audio data: Input/output error", 10s)) << agent.log();
    devices.failTransfers(DeviceControl::Capture, false);
    const auto faultCleared = std::chrono::steady_clock::now();
    ASSERT_TRUE(cloud.waitUntil([&] { return packetsAfter(8, faultCleared).size() >= 5; }, 10s)) << agent.log();
    EXPECT_EQ(countOf(agent.log(), "Close default soundcard"), 0u);

    // The microphone goes away: logged once, closed, looked for again without a line per try.
    devices.unplug(DeviceControl::Capture);
    ASSERT_TRUE(agent.waitForLog("Error reading audio data: No such device", 10s)) << agent.log();
    ASSERT_TRUE(agent.waitForLog("is gone, opening it again every second", 5s)) << agent.log();
    const double micLinesPerSecond = linesPerSecond(logLines, 2500ms);
    std::string log = agent.log();
    EXPECT_EQ(countOf(log, "Error reading audio data: No such device"), 1u);
    EXPECT_EQ(countOf(log, "is gone, opening it again every second"), 1u);
    EXPECT_EQ(countOf(log, "Close default soundcard"), 1u);
    EXPECT_EQ(countOf(log, "cannot open audio device"), 0u);

    // The microphone comes back: the running conversation streams it again.
    const auto micBack = std::chrono::steady_clock::now();
    devices.replug(DeviceControl::Capture);
    ASSERT_TRUE(cloud.waitUntil([&] { return packetsAfter(8, micBack).size() >= 10; }, 10s)) << agent.log();
    const double micDelay = std::chrono::duration<double>(packetsAfter(8, micBack).front() - micBack).count();
    EXPECT_EQ(countOf(agent.log(), "Open default soundcard"), 2u);

    // The conversation ends while the speaker is away; the microphone re-enumerates while
    // the agent waits for the next wake-up.
    rig.wakeUp();
    ASSERT_TRUE(agent.waitForLog("recording task is already running, stop it", 15s, 8)) << agent.log();
    ASSERT_TRUE(agent.waitForLog("Waiting for hotword", 15s, 9)) << agent.log();
    ASSERT_TRUE(agent.waitForLog("Setting emoji state: 4", 15s, 8)) << agent.log();
    devices.unplug(DeviceControl::Capture);
    devices.replug(DeviceControl::Capture);

    // The speaker comes back: the next greeting plays whole.
    devices.replug(DeviceControl::Playback);
    const size_t speakerBefore = rig.speaker().size();
    rig.wakeUp();
    ASSERT_TRUE(agent.waitForLog("Setting emoji state: 7", 15s, 9)) << agent.log();
    const auto speakerAfter = rig.speaker();
    const size_t greeting = rig.greeting(speakerAfter, speakerBefore).length;
    ASSERT_GT(greeting, 0u) << speakerAfter.size() - speakerBefore << " samples after the speaker came back";
    // ...and the microphone that came back while idle streams in the new conversation.
    ASSERT_TRUE(cloud.waitUntil([&] { return rig.upstreamPackets(9).size() >= 10; }, 20s)) << agent.log();
    EXPECT_GT(rig.microphoneCorrelation(agent_rig::ConversationRig::decodeUpstream(rig.upstreamPackets(9))), 0.9);

    std::cout << "[ figures ] microphone back to first packet: " << micDelay << " s; first greeting after the "
              << "speaker came back: " << greeting << " samples; lines per second with the speaker away (log and "
              << "console): " << speakerLinesPerSecond << ", with the microphone away (log): " << micLinesPerSecond
              << std::endl;
    expectHealthy();
}

}  // namespace
