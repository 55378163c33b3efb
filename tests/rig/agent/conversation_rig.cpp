#include "tests/rig/agent/conversation_rig.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <opus/opus.h>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/rig/cloud/ogg_opus.h"

namespace agent_rig {

bool enterPrivateNetwork(std::string* error) {
    if (::unshare(CLONE_NEWNET) != 0) {
        if (error) *error = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
        return false;
    }
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
        ok = ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (!ok && error) *error = std::string("bringing up lo: ") + std::strerror(errno);
    if (s >= 0) ::close(s);
    return ok;
}

namespace {

// A speech-like microphone signal: a slow chirp (no two stretches alike, so a correlation
// has one peak) under a syllable-rate envelope.
std::vector<int16_t> microphoneSignal(double seconds) {
    std::vector<int16_t> pcm = cloud_rig::chirp(seconds, ConversationRig::kMicRate, 200.0, 3000.0, 0.6);
    for (size_t i = 0; i < pcm.size(); ++i) {
        double t = static_cast<double>(i) / ConversationRig::kMicRate;
        double env = 0.35 + 0.65 * std::fabs(std::sin(2.0 * M_PI * 2.3 * t));
        pcm[i] = static_cast<int16_t>(pcm[i] * env);
    }
    return pcm;
}

// S16_LE, as the machine stores it.
bool writeRaw(const std::string& path, const std::vector<int16_t>& pcm) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * sizeof(int16_t)));
    return static_cast<bool>(f);
}

double normalisedCorrelation(const int16_t* a, const int16_t* b, size_t n) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; ++i) {
        ab += static_cast<double>(a[i]) * b[i];
        aa += static_cast<double>(a[i]) * a[i];
        bb += static_cast<double>(b[i]) * b[i];
    }
    return (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : 0.0;
}

}  // namespace

ConversationRig::ConversationRig() = default;

ConversationRig::~ConversationRig() {
    agent_.kill();
    if (cloud_) cloud_->stop();
}

std::string ConversationRig::resDir() const { return test_support::sourceDir() + "/res"; }

bool ConversationRig::setUp(std::string* error, const std::string& program, const CloudScript& script) {
    script_ = script;
    if (dir_.path().empty()) {
        *error = "cannot make a temporary directory";
        return false;
    }
    if (!enterPrivateNetwork(error)) return false;
    try {
        cloud_rig::CloudCertificates certs = cloud_rig::makeCloudCertificates(dir_.path() + "/certs", "localhost");
        cloud_rig::FakeCloud::Options o;
        o.certFile = certs.certFile;
        o.keyFile = certs.keyFile;
        o.requiredAuthorization = "bravo_key92";
        o.port = kCloudPort;
        o.logFile = dir_.path() + "/cloud.log";
        cloud_ = std::make_unique<cloud_rig::FakeCloud>(o);

        answer_ = cloud_rig::chirp(script_.answerSeconds, 48000, 400.0, 1600.0, 0.4);
        const std::string answerOgg = cloud_rig::encodeOggOpus(answer_, 48000);
        // What the agent plays is the decoded stream, not the encoder's input.
        answer_ = cloud_rig::decodeOggOpus(answerOgg);
        using nlohmann::json;
        cloud_rig::CloudRule answer;
        answer.on = script_.answerAfterPackets > 0 ? cloud_rig::CloudTrigger::Binary : cloud_rig::CloudTrigger::Hello;
        answer.nth = script_.answerAfterPackets;
        answer.actions = {cloud_rig::CloudAction::text(json{{"type", "stt"}, {"text", script_.stt}}.dump()),
                          cloud_rig::CloudAction::text(
                              json{{"type", "tts"}, {"state", "start"}, {"text", script_.ttsText}}.dump()),
                          cloud_rig::CloudAction::binary(answerOgg),
                          cloud_rig::CloudAction::text(json{{"type", "control"}, {"value", script_.control}}.dump()),
                          cloud_rig::CloudAction::text(json{{"type", "tts"}, {"state", "stop"}}.dump())};
        cloud_->addRule(answer);
        if (!cloud_->start()) {
            *error = "fake cloud: " + cloud_->error();
            return false;
        }

        mic_ = microphoneSignal(30.0);
        std::string micPath = dir_.path() + "/mic.raw";
        if (!writeRaw(micPath, mic_)) {
            *error = "cannot write " + micPath;
            return false;
        }
        board_ = std::make_unique<board_rig::PtyBoard>();
        std::string tracePath = dir_.path() + "/robot.trace";
        trace_ = std::make_unique<robot_rig::TraceReader>(tracePath);

        AgentOptions opt;
        opt.program = program.empty() ? test_support::binaryDir() + "/bin/tavrin_agent_loopback" : program;
        opt.ttySlave = board_->slave_path();
        devices_ = std::make_unique<alsa_rig::DeviceControl>(dir_.path() + "/sound-devices");
        opt.env = alsa_rig::environment(micPath, dir_.path() + "/speaker_%r.raw", 1.0, devices_->path());
        opt.env.push_back("SSL_CERT_FILE=" + certs.caFile);
        opt.env.push_back("MC_SIM_TRACE=" + tracePath);
        opt.env.push_back("MC_SIM_DRIVE=1");
        opt.env.push_back("MC_SIM_SCENE=2");
        opt.resDir = resDir();
        if (!agent_.start(opt)) {
            *error = "cannot start " + opt.program;
            return false;
        }
        if (!client_.connect(agent_.socketPath(), std::chrono::seconds(20))) {
            *error = "agent socket never accepted: " + agent_.errors();
            return false;
        }
    } catch (const std::exception& e) {
        *error = e.what();
        return false;
    }
    return true;
}

std::optional<velantis::MessageHeader> ConversationRig::command(uint32_t type, uint64_t id) {
    const std::string what = type == AGENT_START ? "start" : "stop";
    return client_.request(type, id,
                           commandPayload("velantis_agent_service", "Request to " + what + " audio recording"),
                           std::chrono::seconds(15));
}

std::string ConversationRig::startRecording(uint64_t id) {
    using namespace std::chrono_literals;
    auto reply = start(id);
    if (!reply || reply->type != AGENT_START || reply->id != id) return "no reply to AGENT_START\n" + agent_.log();
    if (!board_->wait_raw(20s)) return "the agent never set up /dev/ttyACM0\n" + agent_.log();
    if (!agent_.waitForLog("Waiting for hotword", 20s)) return "no \"Waiting for hotword\"\n" + agent_.log();
    board_->write(board_rig::handshake(1));
    if (board_->read_frame(10s) != board_rig::ack(1)) return "no handshake acknowledgement";
    return "";
}

std::chrono::steady_clock::time_point ConversationRig::wakeUp(double angle, int beam) {
    // The link ignores the board for a second after each wake-up.
    std::this_thread::sleep_until(lastWakeUp_ + std::chrono::milliseconds(1200));
    board_->write(board_rig::wakeup(angle, beam));
    return lastWakeUp_ = std::chrono::steady_clock::now();
}

std::vector<cloud_rig::ReceivedFrame> ConversationRig::frames(int connection, cloud_rig::FrameKind kind) const {
    return cloud_->frames(kind, connection);
}

bool ConversationRig::waitForFrame(int connection, cloud_rig::FrameKind kind, std::chrono::milliseconds timeout) const {
    return cloud_->waitUntil([&] { return !frames(connection, kind).empty(); }, timeout);
}

std::vector<std::string> ConversationRig::upstreamPackets(int connection) const {
    std::vector<std::string> out;
    for (auto& f : frames(connection, cloud_rig::FrameKind::Binary)) out.push_back(std::move(f.data));
    return out;
}

std::vector<int16_t> ConversationRig::decodeUpstream(const std::vector<std::string>& packets) {
    std::vector<int16_t> out;
    int err = 0;
    OpusDecoder* dec = opus_decoder_create(kMicRate, 1, &err);
    if (!dec) return out;
    std::vector<int16_t> buf(5760);
    for (const auto& p : packets) {
        int n = opus_decode(dec, reinterpret_cast<const unsigned char*>(p.data()), static_cast<opus_int32>(p.size()),
                            buf.data(), static_cast<int>(buf.size()), 0);
        if (n > 0) out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    opus_decoder_destroy(dec);
    return out;
}

double ConversationRig::microphoneMatch(const std::vector<int16_t>& decoded, size_t at, long* micIndex) const {
    const size_t n = 4000;
    if (decoded.size() < at + n) return 0.0;
    int err = 0;
    OpusEncoder* enc = opus_encoder_create(kMicRate, 1, OPUS_APPLICATION_AUDIO, &err);
    opus_int32 lookahead = 0;
    if (enc) {
        opus_encoder_ctl(enc, OPUS_GET_LOOKAHEAD(&lookahead));
        opus_encoder_destroy(enc);
    }
    // decoded[i] follows mic[i + k * 960 - lookahead] for some whole number of blocks k.
    double best = 0.0;
    const long blocks = static_cast<long>(mic_.size() / 960);
    for (long k = -static_cast<long>(at / 960) - 1; k <= blocks; ++k) {
        long base = static_cast<long>(at) + k * 960 - lookahead;
        for (long d = -32; d <= 32; ++d) {
            long s = base + d;
            if (s < 0 || static_cast<size_t>(s) + n > mic_.size()) continue;
            double c = normalisedCorrelation(decoded.data() + at, mic_.data() + s, n);
            if (c > best) {
                best = c;
                if (micIndex) *micIndex = s;
            }
        }
    }
    return best;
}

std::vector<int16_t> ConversationRig::speaker() const { return alsa_rig::readPcm(speakerPath()); }

std::vector<int16_t> ConversationRig::wavSamples(const std::string& path) {
    std::vector<int16_t> pcm = alsa_rig::readPcm(path);
    pcm.erase(pcm.begin(), pcm.begin() + static_cast<long>(std::min<size_t>(22, pcm.size())));  // the 44-byte header
    return pcm;
}

ConversationRig::Played ConversationRig::greeting(const std::vector<int16_t>& speaker, size_t from) const {
    Played first;
    for (const char* name : {"你好啊", "在呢"}) {
        const auto samples = sound(name);
        const long at = findSamples(speaker, samples, from);
        if (at >= 0 && (first.at < 0 || at < first.at)) first = {at, name, samples.size()};
    }
    return first;
}

long ConversationRig::findSamples(const std::vector<int16_t>& hay, const std::vector<int16_t>& needle, size_t from) {
    if (needle.empty() || from >= hay.size()) return -1;
    auto it = std::search(hay.begin() + static_cast<long>(from), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? -1 : static_cast<long>(it - hay.begin());
}

double ConversationRig::correlationIn(const std::vector<int16_t>& hay, const std::vector<int16_t>& needle, size_t from,
                                      size_t to, size_t* at) {
    double best = 0.0;
    to = std::min(to, hay.size());
    if (needle.empty() || to < needle.size()) return 0.0;
    for (size_t s = from; s + needle.size() <= to; ++s) {
        double c = normalisedCorrelation(hay.data() + s, needle.data(), needle.size());
        if (c > best) {
            best = c;
            if (at) *at = s;
        }
    }
    return best;
}

}  // namespace agent_rig
