// Playback on ALSA "default" through the paced test device: console lines, what reaches
// the speaker, device re-opening, underruns and the serialised use from two threads.
#include "tests/agent/playback_test_support.h"
#include "tests/rig/cloud/ogg_opus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace conversation_test;
using namespace test_support;
using namespace std::chrono_literals;

namespace {

const char* const kInitLine = "ALSA音频设备初始化成功，采样率: 48000 Hz";

class PlaybackTest : public ConversationTest {
protected:
    static void SetUpTestSuite() { setUpSuite("playback_test", 2.0); }  // twice as fast as real time
};

// Runs first: the device is opened once even when two threads ask at the same moment.
TEST_F(PlaybackTest, TwoFirstCallsOpenTheDeviceOnce) {
    FdCapture out(1, path("first.out"));
    std::vector<int16_t> block(4800, 100);
    std::atomic<bool> go{false};
    auto play = [&] {
        while (!go) {
        }
        velantis::playOnDefaultSpeaker(block.data(), block.size() * 2, false);
    };
    std::thread a(play), b(play);
    go = true;
    a.join();
    b.join();
    EXPECT_EQ(out.count(kInitLine), 1u);
    EXPECT_EQ(out.count("playOnDefaultSpeaker called, size: 9600, complete: 0"), 2u);
    EXPECT_EQ(out.count("成功写入 4800 帧音频数据到默认扬声器"), 2u);
    EXPECT_EQ(speakerSamples(), 9600u);
}

TEST_F(PlaybackTest, EmptyBlockDrainsOnlyWhenComplete) {
    FdCapture out(1, path("empty.out"));
    velantis::playOnDefaultSpeaker(nullptr, 0, false);
    velantis::playOnDefaultSpeaker(nullptr, 0, true);
    // After a drain the device takes new data again.
    const size_t before = speakerSamples();
    std::vector<int16_t> block(960, -7);
    velantis::playOnDefaultSpeaker(block.data(), block.size() * 2, true);
    auto lines = out.lines();
    std::vector<std::string> expected = {"playOnDefaultSpeaker called, size: 0, complete: 0",
                                         "playOnDefaultSpeaker called, size: 0, complete: 1",
                                         "音频播放完成",
                                         "playOnDefaultSpeaker called, size: 1920, complete: 1",
                                         "成功写入 960 帧音频数据到默认扬声器",
                                         "音频播放完成"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(speakerSince(before), block);
}

TEST_F(PlaybackTest, UnderrunWritesTheBlockAgain) {
    std::vector<int16_t> first(2400, 11), second(2400, 22);
    velantis::StopPlaying();  // nothing left of an earlier test to run out meanwhile
    const size_t before = speakerSamples();
    FdCapture out(1, path("underrun.out"));
    velantis::playOnDefaultSpeaker(first.data(), first.size() * 2, false);
    // Longer than the device's buffer lasts.
    std::this_thread::sleep_for(1500ms);
    velantis::playOnDefaultSpeaker(second.data(), second.size() * 2, false);
    EXPECT_EQ(out.count("音频缓冲区underrun，恢复设备..."), 1u);
    EXPECT_EQ(out.count("成功写入 2400 帧音频数据到默认扬声器"), 2u);
    auto played = speakerSince(before);
    std::vector<int16_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(played, expected);
}

TEST_F(PlaybackTest, UnderrunDuringAWaveFileLosesTheChunkThatMetIt) {
    std::vector<int16_t> block(2400, 13), lost(2048, 31), kept(2048, 32);
    const std::string wave = writeWave("underrun.wav", pcmBytes(lost) + pcmBytes(kept));
    velantis::StopPlaying();  // nothing left of an earlier test to run out before the first block
    const size_t before = speakerSamples();
    FdCapture out(1, path("file_underrun.out"));
    FdCapture err(2, path("file_underrun.err"));
    velantis::playOnDefaultSpeaker(block.data(), block.size() * 2, false);
    // Longer than the device's buffer lasts: the first chunk of the file meets the underrun.
    std::this_thread::sleep_for(1500ms);
    velantis::PlayFile(wave);
    std::vector<int16_t> expected = block;
    expected.insert(expected.end(), kept.begin(), kept.end());
    EXPECT_EQ(speakerSince(before), expected);
    EXPECT_EQ(out.count("音频缓冲区underrun，恢复设备..."), 0u);
    EXPECT_EQ(err.text(), "");
}

TEST_F(PlaybackTest, WaveFilesSkipTheHeaderAndAnOddByte) {
    std::vector<int16_t> samples(3000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 7 - 9000);
    const std::string odd = writeWave("odd.wav", pcmBytes(samples) + "\x55");
    const std::string headerOnly = writeWave("header.wav", "");
    const std::string shortFile = path("short.wav");
    std::ofstream(shortFile, std::ios::binary) << "RIFF1234";

    size_t mark = processLog().size();
    size_t before = speakerSamples();
    FdCapture err(2, path("wave.err"));
    controller_->processWaveFile(odd);
    EXPECT_EQ(speakerSince(before), samples);

    before = speakerSamples();
    controller_->processWaveFile(headerOnly);
    controller_->processWaveFile(shortFile);
    EXPECT_EQ(speakerSamples(), before);
    EXPECT_EQ(err.text(), "");

    auto logs = processLog().since(mark);
    EXPECT_EQ(countLog(logs, spdlog::level::info, "Playing file: " + odd), 1u);
    EXPECT_EQ(countLog(logs, spdlog::level::info, "Playing file: " + headerOnly), 1u);
    EXPECT_EQ(countLog(logs, spdlog::level::info, "Playing file: " + shortFile), 1u);
}

TEST_F(PlaybackTest, MissingWaveFileClosesTheDeviceAndTheNextCallReopensIt) {
    const std::string missing = path("missing.wav");
    FdCapture out(1, path("missing.out"));
    FdCapture err(2, path("missing.err"));
    controller_->processWaveFile(missing);
    EXPECT_EQ(err.count("Error opening WAV file: " + missing), 1u);
    EXPECT_EQ(out.count(kInitLine), 0u);

    const size_t before = speakerSamples();
    std::vector<int16_t> block(480, 5);
    velantis::playOnDefaultSpeaker(block.data(), block.size() * 2, false);
    EXPECT_EQ(out.count(kInitLine), 1u);
    EXPECT_EQ(speakerSince(before), block);
}

// A device that cannot be opened or configured is tried again at every call.
TEST_F(PlaybackTest, FailingDeviceIsRetriedAtEveryCall) {
    FdCapture out(1, path("failing.out"));
    FdCapture err(2, path("failing.err"));
    controller_->processWaveFile(path("missing.wav"));  // closes the device

    const std::string plugin = alsa_rig::pluginPath();
    ::setenv("VELANTIS_ALSA_PLUGIN", path("no-such-plugin.so").c_str(), 1);
    std::vector<int16_t> block(480, 9);
    velantis::playOnDefaultSpeaker(block.data(), block.size() * 2, false);
    velantis::StopPlaying();
    ::setenv("VELANTIS_ALSA_PLUGIN", plugin.c_str(), 1);
    ::setenv("VELANTIS_ALSA_OUT", path("no-such-dir/speaker_%r.raw").c_str(), 1);
    velantis::PlayFile(path("missing.wav"));
    ::setenv("VELANTIS_ALSA_OUT", path("speaker_%r.raw").c_str(), 1);

    EXPECT_EQ(countStarting(err.lines(), "无法打开音频设备: "), 2u);
    EXPECT_EQ(err.count("无法设置音频参数"), 1u);
    EXPECT_EQ(err.count("ALSA initialization failed, cannot play audio"), 3u);
    EXPECT_EQ(err.count("Error opening WAV file: " + path("missing.wav")), 1u);

    const size_t before = speakerSamples();
    velantis::playOnDefaultSpeaker(block.data(), block.size() * 2, false);
    EXPECT_EQ(out.count(kInitLine), 1u);
    EXPECT_EQ(speakerSince(before), block);
}

// A speaker that went away and came back while nothing played: the drop and prepare before
// the next greeting find the handle dead (a drained handle's drop does nothing, its prepare
// fails), close it, and the greeting plays on the device opened afresh.
TEST_F(PlaybackTest, SpeakerPluggedBackWhileIdlePlaysTheNextGreeting) {
    alsa_rig::DeviceControl devices(path("devices"));
    controller_->processWaveFile(path("missing.wav"));  // the next open sees the control file
    ::setenv("VELANTIS_ALSA_CONTROL", devices.path().c_str(), 1);
    std::vector<int16_t> block(480, 3);
    velantis::playOnDefaultSpeaker(block.data(), block.size() * 2, true);
    devices.unplug(alsa_rig::DeviceControl::Playback);
    devices.replug(alsa_rig::DeviceControl::Playback);

    std::vector<int16_t> samples(2400);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 11 - 12000);
    const std::string wave = writeWave("greeting.wav", pcmBytes(samples));
    const size_t mark = processLog().size();
    const size_t before = speakerSamples();
    FdCapture out(1, path("replug.out"));
    controller_->processWaveFile(wave);
    EXPECT_EQ(speakerSince(before), samples);
    EXPECT_EQ(out.count(kInitLine), 1u);
    EXPECT_EQ(
        countLog(processLog().since(mark), spdlog::level::err, "Failed to prepare PCM after drop: No such device"), 1u);

    ::setenv("VELANTIS_ALSA_CONTROL", "", 1);
    controller_->processWaveFile(path("missing.wav"));
}

TEST_F(PlaybackTest, ReceivedStreamsPlayBackToBack) {
    const auto signal = cloud_rig::chirp(1.0);
    const std::string stream = cloud_rig::encodeOggOpus(signal);
    const size_t before = speakerSamples();
    FdCapture out(1, path("opus.out"));
    controller_->decodeAndProcessOpus(stream);
    controller_->decodeAndProcessOpus(stream);
    auto played = speakerSince(before);
    ASSERT_EQ(played.size(), 2 * signal.size());
    const auto middle = played.begin() + static_cast<long>(signal.size());
    EXPECT_GT(cloud_rig::bestCorrelation(signal, std::vector<int16_t>(played.begin(), middle), 0), 0.95);
    EXPECT_GT(cloud_rig::bestCorrelation(signal, std::vector<int16_t>(middle, played.end()), 0), 0.95);
    // Every block goes through playOnDefaultSpeaker and none is drained.
    EXPECT_GE(countStarting(out.lines(), "playOnDefaultSpeaker called, size: "), 2 * signal.size() / 5760);
    EXPECT_EQ(out.count("音频播放完成"), 0u);
}

TEST_F(PlaybackTest, StereoStreamIsMixedToMono) {
    const auto signal = cloud_rig::chirp(0.5);
    std::vector<int16_t> stereo(signal.size() * 2, 0);  // silence on the second channel
    for (size_t i = 0; i < signal.size(); ++i) stereo[2 * i] = signal[i];
    const size_t before = speakerSamples();
    controller_->decodeAndProcessOpus(cloud_rig::encodeOggOpus(stereo, 48000, 2));
    auto played = speakerSince(before);
    ASSERT_EQ(played.size(), signal.size());
    EXPECT_GT(cloud_rig::bestCorrelation(signal, played, 0), 0.9);
}

TEST_F(PlaybackTest, DataThatIsNotOggOpusPlaysNothing) {
    const std::string stream = cloud_rig::encodeOggOpus(cloud_rig::chirp(0.2));
    const size_t mark = processLog().size();
    const size_t before = speakerSamples();
    controller_->decodeAndProcessOpus("");
    controller_->decodeAndProcessOpus("not an ogg stream at all");
    controller_->decodeAndProcessOpus(stream.substr(0, 100));
    EXPECT_EQ(speakerSamples(), before);
    auto logs = processLog().since(mark);
    size_t failures = 0;
    for (const auto& e : logs)
        failures += (e.level == spdlog::level::err && e.text.rfind("decode ogg opusData failed with: ", 0) == 0);
    EXPECT_EQ(failures, 3u);
}

// A greeting during received speech cuts it: the speech up to the cut, then the greeting
// whole, and nothing more of the speech.
TEST_F(PlaybackTest, GreetingCutsTheSpeechInHand) {
    // Long enough that a slow machine still cuts it well before its middle.
    const auto signal = cloud_rig::chirp(6.0);
    const std::string stream = cloud_rig::encodeOggOpus(signal);
    const auto next = cloud_rig::chirp(0.5);
    const std::string nextStream = cloud_rig::encodeOggOpus(next);
    const std::vector<int16_t> tone(12000, 1234);
    const std::string wave = writeWave("greeting.wav", pcmBytes(tone));
    const size_t before = speakerSamples();

    std::thread speech([&] { controller_->decodeAndProcessOpus(stream); });
    waitUntil([&] { return speakerSamples() != before; }, 10s, 1ms);
    std::thread greeting([&] { controller_->processWaveFile(wave); });
    speech.join();
    greeting.join();
    controller_->decodeAndProcessOpus(nextStream);  // a stream after the greeting plays whole

    auto played = speakerSince(before);
    auto start = std::search(played.begin(), played.end(), tone.begin(), tone.end());
    ASSERT_NE(start, played.end());
    const std::vector<int16_t> cut(played.begin(), start);
    const std::vector<int16_t> after(start + static_cast<long>(tone.size()), played.end());
    ASSERT_GT(cut.size(), 0u);
    EXPECT_LT(cut.size(), signal.size() / 2);
    EXPECT_GT(cloud_rig::bestCorrelation(
                  std::vector<int16_t>(signal.begin(), signal.begin() + static_cast<long>(cut.size())), cut, 0),
              0.95);
    ASSERT_EQ(after.size(), next.size());
    EXPECT_GT(cloud_rig::bestCorrelation(next, after, 0), 0.95);
}

}  // namespace
