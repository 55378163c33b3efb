// The agent soak's helpers: the agent's log, files of the run, frames the cloud got.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/rig/agent/conversation_rig.h"

namespace soak {

// ---------------------------------------------------------------------------------------
// Counts lines of interest in a growing log, reading each byte once.

class LogCounter {
public:
    LogCounter(std::string path, std::vector<std::string> needles)
        : path_(std::move(path)), needles_(std::move(needles)), counts_(needles_.size(), 0) {
        for (const auto& n : needles_) longest_ = std::max(longest_, n.size());
    }

    void poll() {
        std::ifstream f(path_, std::ios::binary);
        if (!f) return;
        f.seekg(offset_);
        std::string chunk((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (chunk.empty()) return;
        offset_ += static_cast<off_t>(chunk.size());
        std::string text = carry_ + chunk;
        for (size_t i = 0; i < needles_.size(); ++i) {
            const std::string& n = needles_[i];
            for (size_t pos = text.find(n); pos != std::string::npos; pos = text.find(n, pos + 1))
                if (pos + n.size() > carry_.size()) ++counts_[i];
        }
        size_t keep = std::min(text.size(), longest_ - 1);
        carry_ = text.substr(text.size() - keep);
    }

    size_t count(size_t i) {
        poll();
        return counts_[i];
    }
    bool waitFor(size_t i, size_t atLeast, std::chrono::milliseconds timeout) {
        return test_support::waitUntil([&] { return count(i) >= atLeast; }, timeout);
    }

private:
    std::string path_;
    std::vector<std::string> needles_;
    std::vector<size_t> counts_;
    size_t longest_ = 1;
    off_t offset_ = 0;
    std::string carry_;
};

// ---------------------------------------------------------------------------------------
// Files of the run.

// A speech-like microphone signal: a chirp under a syllable-rate envelope, repeated.
bool writeMicrophone(const std::string& path, double seconds);
// ALSA "default": the paced device with literal file names; playback sped up, capture real time.
bool writeAlsaConfig(const std::string& path, const std::string& mic, const std::string& speaker, double speed);
// RMS of the decoded upstream audio after its first block (the encoder's start).
double upstreamRms(const std::vector<std::string>& packets);
// Paths of the entries of a directory.
std::vector<std::string> entries(const std::string& dir);

// ---------------------------------------------------------------------------------------
// Frames the cloud got.

// Frames of one connection, in order of arrival.
std::vector<cloud_rig::ReceivedFrame> framesOf(const cloud_rig::FakeCloud& cloud, int connection);
bool isHello(const cloud_rig::ReceivedFrame& f);
// Every connection that sent anything sent the hello first.
bool helloFirstEverywhere(const cloud_rig::FakeCloud& cloud, std::string* why);
size_t binaries(const std::vector<cloud_rig::ReceivedFrame>& fr);
bool closedNormally(const std::vector<cloud_rig::ReceivedFrame>& fr);
std::vector<std::string> packetsOf(const std::vector<cloud_rig::ReceivedFrame>& fr);

}  // namespace soak
