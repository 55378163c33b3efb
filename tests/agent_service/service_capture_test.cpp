// The capture pair on the paced ALSA test device.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "agent_service/velantis_agent_service.h"
#include "tests/agent_service/service_test_util.h"
#include "tests/rig/agent/agent_runner.h"
#include "tests/rig/alsa/alsa_test_device.h"
#include "tests/support/files.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

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
    LogCapture& log = processLog();
    const size_t mark = log.size();
    EXPECT_FALSE(do_record());
    service_test::expectInOrder(log, mark, {"Record process...", "Soundcard have not been initialized"});
    EXPECT_EQ(log.count("Awakened, start recording", mark), 0u);
}

TEST(ServiceCapture, UnknownDeviceFailsCleanly) {
    LogCapture& log = processLog();
    const size_t mark = log.size();
    EXPECT_FALSE(init_soundcard("velantis_no_such_device"));
    EXPECT_EQ(capture_handle, nullptr);
    EXPECT_EQ(encoder, nullptr);
    service_test::expectInOrder(log, mark,
                                {"Open default soundcard", "cannot open audio device velantis_no_such_device ("});
    EXPECT_FALSE(do_record());
}

TEST(ServiceCapture, CapturesAndEncodesUntilTheFlagIsCleared) {
    TempDir dir("service-capture", agent_rig::kRunDir);
    ::setenv("VELANTIS_ALSA_IN", writeMicrophone(dir.path()).c_str(), 1);
    LogCapture& log = processLog();
    size_t mark = log.size();
    ASSERT_TRUE(init_soundcard("default"));
    EXPECT_NE(capture_handle, nullptr);
    EXPECT_NE(encoder, nullptr);
    EXPECT_EQ(srate, 16000);
    std::atomic<bool> result{false}, returned{false};
    // do_record on a thread of its own with the flag set; it returns once the flag is cleared.
    auto record = [&](const std::function<void()>& meanwhile) {
        setRecording(true);
        returned = false;
        std::thread recorder([&] {
            result = do_record();
            returned = true;
        });
        meanwhile();
        setRecording(false);
        EXPECT_TRUE(waitUntil([&] { return returned.load(); }, 5s));
        recorder.join();
        EXPECT_TRUE(result.load());
    };

    // With the flag already clear the loop does not read at all.
    setRecording(false);
    EXPECT_TRUE(do_record());
    record([&] {
        ASSERT_TRUE(waitUntil([&] { return log.count("Awakened, start recording", mark) == 2; }, 5s));
        EXPECT_FALSE(waitUntil([&] { return returned.load(); }, 400ms)) << "it records while the flag is set";
    });
    EXPECT_EQ(log.count("Awakened, start recording", mark), 2u);
    EXPECT_EQ(log.count("Error reading audio data", mark), 0u);
    EXPECT_EQ(log.count("Opus", mark), 0u);

    // A second set-up replaces the first device and encoder.
    ASSERT_TRUE(init_soundcard("default"));

    // A device that keeps failing (stopped under the pair: every read and every recovery
    // fails) is tried again once a block, not in a tight loop.
    ASSERT_EQ(snd_pcm_drop(capture_handle), 0);
    mark = log.size();
    const auto started = std::chrono::steady_clock::now();
    const std::string error = "Error reading audio data: File descriptor in bad state";
    record([&] { EXPECT_TRUE(waitUntil([&] { return log.count(error, mark) >= 2; }, 5s)); });
    const auto took = std::chrono::steady_clock::now() - started;
    const size_t errors = log.count(error, mark);
    EXPECT_GE(errors, 2u);
    // One try per 60-ms block for as long as it ran; a tight loop would make thousands.
    EXPECT_LE(errors, static_cast<size_t>(took / 60ms) + 2);

    ASSERT_TRUE(init_soundcard("default"));
    setRecording(true);
}

int main(int argc, char** argv) {
    // libasound reads its configuration once, at the first ALSA call of the process.
    alsa_rig::useTestDevice("", "");
    processLog();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
