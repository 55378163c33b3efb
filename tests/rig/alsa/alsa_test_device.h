// Helpers for tests that play or capture through the paced ALSA test device (README.md).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/build_dirs.h"
#include "tests/support/files.h"

namespace alsa_rig {

// The build tree holds the plugin and its configuration.
inline std::string configPath() { return test_support::binaryDir() + "/share/alsa/velantis_test.conf"; }
inline std::string pluginPath() { return test_support::binaryDir() + "/lib/libasound_module_pcm_velantis_paced.so"; }

// "NAME=value" entries that make ALSA "default" the test device (asound.conf); "" for
// control: always plugged in, no faults.
inline std::vector<std::string> environment(const std::string& infile, const std::string& outfile, double speed = 1.0,
                                            const std::string& control = "") {
    std::ostringstream s;
    s << speed;
    return {"ALSA_CONFIG_PATH=" + configPath(), "VELANTIS_ALSA_PLUGIN=" + pluginPath(),
            "VELANTIS_ALSA_IN=" + infile,       "VELANTIS_ALSA_OUT=" + outfile,
            "VELANTIS_ALSA_SPEED=" + s.str(),   "VELANTIS_ALSA_CONTROL=" + control};
}

// Unplugs, plugs back and faults the microphone or speaker through the control file (README.md).
class DeviceControl {
public:
    enum Direction { Capture = 0, Playback = 1 };

    explicit DeviceControl(std::string path) : path_(std::move(path)) { write(); }
    const std::string& path() const { return path_; }

    void unplug(Direction d) {
        ++state_[d].unplugs;
        set(state_[d].away, true);
    }
    void replug(Direction d) { set(state_[d].away, false); }
    void failTransfers(Direction d, bool on) { set(state_[d].eio, on); }

private:
    struct State {
        unsigned long unplugs = 0;
        bool away = false;
        bool eio = false;
    };

    void set(bool& flag, bool on) {
        flag = on;
        write();
    }
    // Replaced whole, so the device never reads half a file.
    void write() const {
        const std::string tmp = path_ + ".new";
        {
            std::ofstream f(tmp, std::ios::trunc);
            const char* names[] = {"capture", "playback"};
            for (int d = 0; d < 2; ++d)
                f << names[d] << ' ' << state_[d].unplugs << ' ' << state_[d].away << ' ' << state_[d].eio << '\n';
        }
        std::rename(tmp.c_str(), path_.c_str());
    }

    std::string path_;
    State state_[2];
};

// Applies environment() to this process, before its first ALSA call (README.md).
inline void useTestDevice(const std::string& infile, const std::string& outfile, double speed = 1.0,
                          const std::string& control = "") {
    for (const auto& kv : environment(infile, outfile, speed, control)) {
        auto eq = kv.find('=');
        ::setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
    }
}

// Samples of a raw S16_LE file (empty when missing); this host is little-endian too.
inline std::vector<int16_t> readPcm(const std::string& path) {
    const std::string bytes = test_support::readFile(path);
    std::vector<int16_t> out(bytes.size() / 2);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

}  // namespace alsa_rig
