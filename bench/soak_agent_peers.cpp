// The agent soak's files of the run and checks of what the cloud got.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/soak_agent.h"
#include "tests/rig/alsa/alsa_test_device.h"
#include "tests/rig/cloud/ogg_opus.h"

namespace soak {

// ---------------------------------------------------------------------------------------
// Files of the run.

// A speech-like microphone signal: a chirp under a syllable-rate envelope, repeated.
bool writeMicrophone(const std::string& path, double seconds) {
    const int rate = 16000;
    std::vector<int16_t> period = cloud_rig::chirp(7.0, rate, 200.0, 3000.0, 0.6);
    for (size_t i = 0; i < period.size(); ++i) {
        double t = static_cast<double>(i) / rate;
        double env = 0.35 + 0.65 * std::fabs(std::sin(2.0 * M_PI * 2.3 * t));
        period[i] = static_cast<int16_t>(period[i] * env);
    }
    std::ofstream f(path, std::ios::binary);
    size_t total = static_cast<size_t>(seconds * rate);
    for (size_t done = 0; done < total && f;) {
        size_t n = std::min(period.size(), total - done);
        f.write(reinterpret_cast<const char*>(period.data()), static_cast<std::streamsize>(n * 2));
        done += n;
    }
    return static_cast<bool>(f);
}

// ALSA "default": the paced device with literal file names; playback sped up, capture real time.
bool writeAlsaConfig(const std::string& path, const std::string& mic, const std::string& speaker, double speed) {
    std::ofstream f(path);
    f << "pcm_type.velantis_paced { lib \"" << alsa_rig::pluginPath() << "\" }\n"
      << "pcm.!default {\n  type asym\n"
      << "  playback.pcm { type plug slave.pcm { type velantis_paced outfile \"" << speaker << "\" speed " << speed
      << " } }\n"
      << "  capture.pcm { type plug slave.pcm { type velantis_paced infile \"" << mic << "\" speed 1 } }\n"
      << "}\npcm.null { type null }\n";
    return static_cast<bool>(f);
}

// RMS of the decoded upstream audio after its first block (the encoder's start).
double upstreamRms(const std::vector<std::string>& packets) {
    std::vector<int16_t> pcm = agent_rig::ConversationRig::decodeUpstream(packets);
    if (pcm.size() <= 960) return 0.0;
    double sum = 0;
    for (size_t i = 960; i < pcm.size(); ++i) sum += static_cast<double>(pcm[i]) * pcm[i];
    return std::sqrt(sum / static_cast<double>(pcm.size() - 960));
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) out.push_back(e.path().string());
    return out;
}

// ---------------------------------------------------------------------------------------
// Frames the cloud got.

// Frames of one connection, in order of arrival.
std::vector<cloud_rig::ReceivedFrame> framesOf(const cloud_rig::FakeCloud& cloud, int connection) {
    std::vector<cloud_rig::ReceivedFrame> out;
    for (auto& f : cloud.frames())
        if (f.connection == connection) out.push_back(std::move(f));
    return out;
}

bool isHello(const cloud_rig::ReceivedFrame& f) {
    if (f.kind != cloud_rig::FrameKind::Text) return false;
    try {
        auto j = nlohmann::json::parse(f.data);
        return j.is_object() && j.value("type", "") == "hello";
    } catch (const std::exception&) {
        return false;
    }
}

// Every connection that sent anything sent the hello first.
bool helloFirstEverywhere(const cloud_rig::FakeCloud& cloud, std::string* why) {
    for (int c = 1; c <= cloud.connectionCount(); ++c) {
        auto fr = framesOf(cloud, c);
        if (!fr.empty() && !isHello(fr.front())) {
            *why = "connection " + std::to_string(c) + " began with a frame other than the hello";
            return false;
        }
    }
    return true;
}

size_t binaries(const std::vector<cloud_rig::ReceivedFrame>& fr) {
    return static_cast<size_t>(
        std::count_if(fr.begin(), fr.end(), [](const auto& f) { return f.kind == cloud_rig::FrameKind::Binary; }));
}

bool closedNormally(const std::vector<cloud_rig::ReceivedFrame>& fr) {
    return std::any_of(fr.begin(), fr.end(),
                       [](const auto& f) { return f.kind == cloud_rig::FrameKind::Close && f.closeCode == 1000; });
}

std::vector<std::string> packetsOf(const std::vector<cloud_rig::ReceivedFrame>& fr) {
    std::vector<std::string> packets;
    for (const auto& f : fr)
        if (f.kind == cloud_rig::FrameKind::Binary) packets.push_back(f.data);
    return packets;
}

}  // namespace soak
