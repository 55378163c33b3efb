// A whole simulated conversation around one agent process: the board on a pseudo-terminal,
// the paced ALSA device (microphone file in, speaker file out), the fake cloud on loopback,
// the simulated robot's trace and a control client. Used by the end-to-end test, the demo
// and the benchmarks. Needs root (private mount and network namespaces).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/rig/agent/agent_runner.h"
#include "tests/rig/alsa/alsa_test_device.h"
#include "tests/rig/board/board_rig.h"
#include "tests/rig/cloud/fake_cloud.h"
#include "tests/rig/robot/robot_trace.h"

namespace agent_rig {

// Gives the calling thread (and the threads and processes it starts afterwards) a network
// namespace of its own with only the loopback interface up, so fixed ports are private.
bool enterPrivateNetwork(std::string* error);

// The cloud's scripted answer to a hello.
struct CloudScript {
    std::string stt = "你好，请往前走两步，然后摆摆尾巴";
    std::string ttsText = "好的，我往前走两步，再摆摆尾巴";
    std::string control = "前,2;摆尾";
    double answerSeconds = 1.0;
    int answerAfterPackets = 0;  // 0: answer the hello at once; n: after the n-th Opus packet
};

class ConversationRig {
public:
    static constexpr uint16_t kCloudPort = VELANTIS_LOOPBACK_CLOUD_PORT;  // the loopback agent's cloud port
    static constexpr int kMicRate = 16000;

    ConversationRig();
    ~ConversationRig();

    // Certificates, cloud, microphone signal, board; then starts `program` (default: the
    // loopback agent of the build tree) and connects the control client.
    bool setUp(std::string* error, const std::string& program = "", const CloudScript& script = {});

    // Sends AGENT_START / AGENT_STOP and returns the reply.
    std::optional<velantis::MessageHeader> start(uint64_t id) { return command(AGENT_START, id); }
    std::optional<velantis::MessageHeader> stop(uint64_t id) { return command(AGENT_STOP, id); }
    // AGENT_START answered, the board's port set up, the agent waiting for the hotword and the
    // board's handshake acknowledged: "" or what failed.
    std::string startRecording(uint64_t id = 1);

    // Writes a wake-up frame once the link's pause after the previous one is over; the time
    // its last byte was written is returned.
    std::chrono::steady_clock::time_point wakeUp(double angle = 60.0, int beam = 2);

    // Analysis.
    // Frames of one kind the cloud received on `connection`, in order.
    std::vector<cloud_rig::ReceivedFrame> frames(int connection, cloud_rig::FrameKind kind) const;
    bool waitForFrame(int connection, cloud_rig::FrameKind kind, std::chrono::milliseconds timeout) const;
    // Opus packets the cloud received on `connection`, in order.
    std::vector<std::string> upstreamPackets(int connection) const;
    // Decodes packets with one decoder at the microphone rate.
    static std::vector<int16_t> decodeUpstream(const std::vector<std::string>& packets);
    // Best normalised correlation of decoded[at, at + 4000) against the microphone signal,
    // searching every block-aligned start and the encoder's delay around it; the matching
    // microphone position goes to *micIndex.
    double microphoneMatch(const std::vector<int16_t>& decoded, size_t at, long* micIndex = nullptr) const;
    double microphoneCorrelation(const std::vector<int16_t>& decoded) const { return microphoneMatch(decoded, 960); }
    // Speaker output at 48000 Hz so far.
    std::vector<int16_t> speaker() const;
    // Data of a WAV file (after its 44-byte header) as samples.
    static std::vector<int16_t> wavSamples(const std::string& path);
    // Samples of res/<name>.wav.
    std::vector<int16_t> sound(const std::string& name) const { return wavSamples(resDir() + "/" + name + ".wav"); }
    // The first of the greetings (你好啊, 在呢) found whole in speaker[from, ...).
    struct Played {
        long at = -1;
        std::string name;
        size_t length = 0;
    };
    Played greeting(const std::vector<int16_t>& speaker, size_t from = 0) const;
    // Position of `needle` in `hay` as an exact sample match, or -1.
    static long findSamples(const std::vector<int16_t>& hay, const std::vector<int16_t>& needle, size_t from = 0);
    // Best normalised correlation of `needle` within hay[from, to).
    static double correlationIn(const std::vector<int16_t>& hay, const std::vector<int16_t>& needle, size_t from,
                                size_t to, size_t* at);

    AgentProcess& agent() { return agent_; }
    ControlClient& client() { return client_; }
    cloud_rig::FakeCloud& cloud() { return *cloud_; }
    board_rig::PtyBoard& board() { return *board_; }
    robot_rig::TraceReader& trace() { return *trace_; }
    // Unplugs and plugs back the agent's microphone and speaker.
    alsa_rig::DeviceControl& devices() { return *devices_; }
    const std::vector<int16_t>& mic() const { return mic_; }
    const std::vector<int16_t>& answer() const { return answer_; }
    const CloudScript& script() const { return script_; }
    std::string dir() const { return dir_.path(); }
    std::string speakerPath() const { return dir_.path() + "/speaker_48000.raw"; }
    std::string resDir() const;

private:
    std::optional<velantis::MessageHeader> command(uint32_t type, uint64_t id);

    test_support::TempDir dir_{"conversation", kRunDir};
    CloudScript script_;
    std::unique_ptr<cloud_rig::FakeCloud> cloud_;
    std::unique_ptr<board_rig::PtyBoard> board_;
    std::unique_ptr<robot_rig::TraceReader> trace_;
    std::unique_ptr<alsa_rig::DeviceControl> devices_;
    AgentProcess agent_;
    ControlClient client_;
    std::vector<int16_t> mic_;
    std::vector<int16_t> answer_;
    std::chrono::steady_clock::time_point lastWakeUp_{};
};

}  // namespace agent_rig
