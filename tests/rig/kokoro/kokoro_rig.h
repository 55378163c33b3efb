// Helpers for tests that speak through the synthetic Kokoro-format model, whose signal
// make_kokoro_model.py describes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/build_dirs.h"
#include "tests/support/files.h"

namespace kokoro_rig {

constexpr int kSampleRate = 24000;
constexpr int kSegment = 240;
constexpr int kBaseHz = 200;
constexpr const char* kDirName = "kokoro-multi-lang-v1_1";

inline double amplitude(int sid) { return sid == 1 ? 1.25 : 0.5; }

// The model generated into the build tree (target kokoro_model).
inline std::string builtModelDir() { return test_support::binaryDir() + "/share/kokoro/" + kDirName; }

// Copies the model into <dir>/kokoro-multi-lang-v1_1 (the engine reads it relative to
// its working directory). Returns false when the built model is missing.
inline bool installModel(const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path src = builtModelDir();
    if (!fs::exists(src / "model.onnx", ec)) return false;
    fs::path dst = fs::path(dir) / kDirName;
    fs::remove_all(dst, ec);
    fs::copy(src, dst, fs::copy_options::recursive, ec);
    return !ec;
}

// Token ids by symbol, read from the model's tokens.txt (a line with only an id is " ").
inline std::map<std::string, int> tokenIds(const std::string& model_dir = builtModelDir()) {
    std::map<std::string, int> ids;
    for (const auto& line : test_support::splitLines(test_support::readFile(model_dir + "/tokens.txt"))) {
        const auto sp = line.rfind(' ');
        const bool space = sp == std::string::npos;
        ids[space ? " " : line.substr(0, sp)] = std::atoi(line.c_str() + (space ? 0 : sp + 1));
    }
    return ids;
}

// One sample as the engine writes it: clamped to [-1, 1], times 32767, truncated.
inline int16_t toPcm16(float v) {
    return static_cast<int16_t>(static_cast<int32_t>(std::clamp(v, -1.0f, 1.0f) * 32767.0f));
}

inline int segmentLength(float speed) { return static_cast<int>(std::floor(static_cast<float>(kSegment) / speed)); }

// The 16-bit speech the model gives for these token ids (pads not added).
inline std::vector<int16_t> expectedSpeech(const std::vector<int>& ids, float speed, int sid) {
    std::vector<int16_t> out;
    const int len = segmentLength(speed);
    const float amp = static_cast<float>(amplitude(sid));
    const float omega = static_cast<float>(2.0 * M_PI / kSampleRate);
    for (int id : ids) {
        const float f = static_cast<float>(kBaseHz + id);
        for (int j = 0; j < len; ++j) out.push_back(toPcm16(std::sin(f * static_cast<float>(j) * omega) * amp));
    }
    return out;
}

// Reads back the token ids from 16-bit speech, one segment at a time (the id whose
// signal fits best). Segments that fit no id within `tolerance` give -1.
inline std::vector<int> decodeTokens(const std::vector<int16_t>& pcm, float speed, int sid, int tolerance = 3,
                                     int max_id = 1000) {
    std::vector<int> ids;
    const int len = segmentLength(speed);
    for (size_t start = 0; start + static_cast<size_t>(len) <= pcm.size(); start += static_cast<size_t>(len)) {
        // The second sample fixes the frequency; then check the whole segment.
        const double s1 = std::min(1.0, pcm[start + 1] / 32767.0 / amplitude(sid));
        int guess = static_cast<int>(std::lround(std::asin(s1) * kSampleRate / (2.0 * M_PI))) - kBaseHz;
        int found = -1;
        for (int id = std::max(0, guess - 3); id <= std::min(max_id, guess + 3) && found < 0; ++id) {
            auto want = expectedSpeech({id}, speed, sid);
            bool ok = true;
            for (int j = 0; j < len && ok; ++j) ok = std::abs(want[j] - pcm[start + j]) <= tolerance;
            if (ok) found = id;
        }
        ids.push_back(found);
    }
    return ids;
}

}  // namespace kokoro_rig
