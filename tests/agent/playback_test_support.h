// What the playback and cloud-conversation suites share: one controller on the paced test
// device, a scratch directory, audio as bytes and WAV files.
#pragma once

#include "agent/ws_controller.h"
#include "tests/rig/alsa/alsa_test_device.h"
#include "tests/support/files.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace conversation_test {

// 16-bit mono samples as the bytes a device or a file holds.
inline std::string pcmBytes(const std::vector<int16_t>& samples) {
    return std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
}

inline bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// Lines, or the texts of log entries, that start with `prefix`.
inline size_t countStarting(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](auto& l) { return startsWith(l, prefix); }));
}
inline size_t countStarting(const std::vector<test_support::LogEntry>& logs, const std::string& prefix) {
    return static_cast<size_t>(
        std::count_if(logs.begin(), logs.end(), [&](auto& e) { return startsWith(e.text, prefix); }));
}

// The suite's controller plays on the test device at `speed` times real time into the
// scratch directory, where the robot's trace goes too.
class ConversationTest : public ::testing::Test {
protected:
    static void setUpSuite(const std::string& name, double speed, const std::function<void()>& first = {}) {
        dir_ = test_support::makeTempDir(name);
        test_support::processLog();
        if (first) first();
        alsa_rig::useTestDevice("", dir_ + "/speaker_%r.raw", speed);
        ::setenv("MC_SIM_TRACE", (dir_ + "/robot.trace").c_str(), 1);
        controller_ = std::make_unique<velantis::ws_controller>();
    }
    static void TearDownTestSuite() {
        controller_.reset();
        std::filesystem::remove_all(dir_);
    }

    static std::string path(const std::string& name) { return dir_ + "/" + name; }
    static size_t speakerSamples() { return alsa_rig::readPcm(path("speaker_48000.raw")).size(); }
    static std::vector<int16_t> speakerSince(size_t from) {
        auto all = alsa_rig::readPcm(path("speaker_48000.raw"));
        return from < all.size() ? std::vector<int16_t>(all.begin() + static_cast<long>(from), all.end())
                                 : std::vector<int16_t>{};
    }
    // A WAV file: a 44-byte header (playback skips it unread), then `data`.
    static std::string writeWave(const std::string& name, const std::string& data) {
        std::string header("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0", 20);
        header.resize(44, '\0');
        std::ofstream(path(name), std::ios::binary) << header << data;
        return path(name);
    }

    inline static std::string dir_;
    inline static std::unique_ptr<velantis::ws_controller> controller_;
};

}  // namespace conversation_test
