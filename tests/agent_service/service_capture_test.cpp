// The capture pair on the paced ALSA test device.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "agent_service/velantis_agent_service.h"
#include "tests/agent_service/service_test_util.h"
#include "tests/rig/alsa/alsa_test_device.h"

using namespace service_test;
using namespace test_support;
using namespace std::chrono_literals;

namespace {

void setRecording(bool on) { __atomic_store_n(&record_running, on, __ATOMIC_SEQ_CST); }

// A second of a rising tone, so the encoder has something to work on.
std::string writeMicrophone(const std::string& dir) {
    std::string path = dir + "/mic.raw";
    std::ofstream f(path, std::ios::binary);
    for (int i = 0; i < 16000; ++i) {
        int16_t s = static_cast<int16_t>(8000 * ((i * (i / 400 + 1)) % 64 < 32 ? 1 : -1));
        f.write(reinterpret_cast<const char*>(&s), 2);
    }
    return path;
}

}  // namespace

// Order matters: the pair keeps its device and encoder in globals.
TEST(ServiceCapture, RecordBeforeSetUpFails) {
    LogSince log;
    EXPECT_FALSE(do_record());
    std::string text = log.text();
    auto first = text.find("Record process...");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("Soundcard have not been initialized", first), std::string::npos);
    EXPECT_EQ(countOf(text, "Awakened, start recording"), 0u);
}

TEST(ServiceCapture, UnknownDeviceFailsCleanly) {
    LogSince log;
    EXPECT_FALSE(init_soundcard("velantis_no_such_device"));
    EXPECT_EQ(capture_handle, nullptr);
    EXPECT_EQ(encoder, nullptr);
    std::string text = log.text();
    auto open = text.find("Open default soundcard");
    ASSERT_NE(open, std::string::npos);
    EXPECT_NE(text.find("cannot open audio device velantis_no_such_device (", open), std::string::npos) << text;
    EXPECT_FALSE(do_record());
}

TEST(ServiceCapture, CapturesAndEncodesUntilTheFlagIsCleared) {
    test_support::TempDir dir("service-capture", agent_rig::kRunDir);
    ::setenv("VELANTIS_ALSA_IN", writeMicrophone(dir.path()).c_str(), 1);
    LogSince log;
    ASSERT_TRUE(init_soundcard("default"));
    EXPECT_NE(capture_handle, nullptr);
    EXPECT_NE(encoder, nullptr);
    EXPECT_EQ(srate, 16000);

    // With the flag already clear the loop does not read at all.
    setRecording(false);
    EXPECT_TRUE(do_record());

    setRecording(true);
    std::atomic<bool> result{false}, returned{false};
    std::thread recorder([&] {
        result = do_record();
        returned = true;
    });
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(returned.load());
    setRecording(false);
    EXPECT_TRUE(waitUntil([&] { return returned.load(); }, 5s));
    recorder.join();
    EXPECT_TRUE(result.load());
    std::string text = log.text();
    EXPECT_EQ(countOf(text, "Awakened, start recording"), 2u);
    EXPECT_EQ(countOf(text, "Error reading audio data"), 0u);
    EXPECT_EQ(countOf(text, "Opus"), 0u);

    // A second set-up replaces the first device and encoder.
    ASSERT_TRUE(init_soundcard("default"));

    // A device that keeps failing (stopped under the pair: every read and every recovery
    // fails) is tried again once a block, not in a tight loop.
    ASSERT_EQ(snd_pcm_drop(capture_handle), 0);
    LogSince failing;
    setRecording(true);
    returned = false;
    const auto started = std::chrono::steady_clock::now();
    std::thread spinning([&] {
        result = do_record();
        returned = true;
    });
    std::this_thread::sleep_for(600ms);
    setRecording(false);
    EXPECT_TRUE(waitUntil([&] { return returned.load(); }, 5s));
    const auto took = std::chrono::steady_clock::now() - started;
    spinning.join();
    EXPECT_TRUE(result.load());
    const size_t errors = countOf(failing.text(), "Error reading audio data: File descriptor in bad state");
    EXPECT_GE(errors, 2u);
    // One try per 60-ms block for as long as it ran; a tight loop would make thousands.
    EXPECT_LE(errors, static_cast<size_t>(took / 60ms) + 2);

    ASSERT_TRUE(init_soundcard("default"));
    setRecording(true);
}

int main(int argc, char** argv) {
    // libasound reads its configuration once, at the first ALSA call of the process.
    alsa_rig::useTestDevice("", "");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
