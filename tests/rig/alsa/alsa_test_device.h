// Helpers for tests that play or capture through the paced ALSA test device.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/build_dirs.h"

namespace alsa_rig {

// The build tree holds the plugin and its configuration.
using test_support::binaryDir;

inline std::string configPath() { return binaryDir() + "/share/alsa/velantis_test.conf"; }
inline std::string pluginPath() { return binaryDir() + "/lib/libasound_module_pcm_velantis_paced.so"; }

// "NAME=value" entries that make ALSA "default" the test device. infile: raw S16_LE
// read by capture ("" = silence); outfile: appended by playback, "%r" becomes the rate.
inline std::vector<std::string> environment(const std::string& infile, const std::string& outfile, double speed = 1.0) {
    std::ostringstream s;
    s << speed;
    return {"ALSA_CONFIG_PATH=" + configPath(), "VELANTIS_ALSA_PLUGIN=" + pluginPath(), "VELANTIS_ALSA_IN=" + infile,
            "VELANTIS_ALSA_OUT=" + outfile, "VELANTIS_ALSA_SPEED=" + s.str()};
}

// Applies environment() to this process. Call before the first ALSA call: libasound
// reads its configuration once per process (the file names are read at each open).
inline void useTestDevice(const std::string& infile, const std::string& outfile, double speed = 1.0) {
    for (const auto& kv : environment(infile, outfile, speed)) {
        auto eq = kv.find('=');
        ::setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
    }
}

// Samples of a raw S16_LE file (empty when missing).
inline std::vector<int16_t> readPcm(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                      (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    return out;
}

}  // namespace alsa_rig
