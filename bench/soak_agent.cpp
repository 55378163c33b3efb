// The agent soak: conversations back to back with faults of the peers mixed in.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/soak.h"
#include "bench/soak_agent.h"
#include "tests/rig/agent/conversation_rig.h"
#include "tests/rig/cloud/ogg_opus.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace soak {

namespace {

enum class Fault { None, CloudClose, CloudUnreachable, CloudUntrusted, BoardGarbage, Speaker, Robot, Microphone };

const char* faultName(Fault f) {
    switch (f) {
    case Fault::None:
        return "none";
    case Fault::CloudClose:
        return "cloud closes midway";
    case Fault::CloudUnreachable:
        return "cloud unreachable";
    case Fault::CloudUntrusted:
        return "cloud certificate untrusted";
    case Fault::BoardGarbage:
        return "board garbage and half frames";
    case Fault::Speaker:
        return "speaker device fails";
    case Fault::Robot:
        return "robot calls fail";
    case Fault::Microphone:
        return "microphone device fails";
    }
    return "?";
}

constexpr Fault kFaultCycle[] = {Fault::CloudClose,   Fault::CloudUnreachable, Fault::CloudUntrusted,
                                 Fault::BoardGarbage, Fault::Speaker,          Fault::Robot,
                                 Fault::Microphone};
constexpr size_t kPackets = 3;            // upstream packets a conversation must deliver
constexpr const char* kControl = "前,1";  // a 60 ms step: the robot's queue never piles up
constexpr const char* kRobotFaultControl = "起立;趴下;停";

// Log lines counted (indices into the counter).
enum Needle { kStarted, kEnded, kControlSeen, kTtsStop, kWaiting, kSoundcardFailed };

class AgentSoak {
public:
    using Options = AgentSoakOptions;

    explicit AgentSoak(Options o) : opt_(o) {}

    int run() {
        std::string error;
        if (!setUp(&error)) {
            std::fprintf(stderr, "soak: %s\n", error.c_str());
            return 2;
        }
        const int n = opt_.conversations;
        // At least one warm-up conversation when there are two: the first grows the agent.
        const int warm = std::min(opt_.warmUp, std::max(n > 1 ? 1 : 0, n / 4));
        Figures start, end;
        off_t logStart = 0;
        int measuredFrom = 0;
        std::map<Fault, int> faultCount;
        auto began = Clock::now();
        int lostAfterFault = 0, lost = 0;
        bool previousFaulted = false;
        for (int i = 0; i < n; ++i) {
            if (i == warm) {
                settle();
                start = test_support::figuresOf(agent_.pid());
                logStart = fileSize(agent_.logPath());
                measuredFrom = i;
                std::printf("soak: agent after %d warm-up conversations: %s, log %lld bytes\n", warm,
                            test_support::describe(start).c_str(), static_cast<long long>(logStart));
                std::fflush(stdout);
            }
            Fault fault = (i + 1) % 10 == 0 ? kFaultCycle[((i + 1) / 10 - 1) % std::size(kFaultCycle)] : Fault::None;
            std::string why;
            bool ok = conversation(i + 1, fault, &why);
            if (fault != Fault::None) ++faultCount[fault];
            if (!ok) {
                if (!agent_.running()) {
                    failures_.push_back("conversation " + std::to_string(i + 1) + ": the agent process ended");
                    break;
                }
                if (fault == Fault::None) {
                    ++lost;
                    if (previousFaulted) ++lostAfterFault;
                }
                failures_.push_back("conversation " + std::to_string(i + 1) + " (" + faultName(fault) + "): " + why);
                if (failures_.size() > 20) {
                    failures_.push_back("too many failures, stopped");
                    break;
                }
            }
            previousFaulted = fault != Fault::None;
            if ((i + 1) % 50 == 0) {
                std::printf("soak: %d conversations, %.1f s, agent %s\n", i + 1,
                            std::chrono::duration<double>(Clock::now() - began).count(),
                            test_support::describe(test_support::figuresOf(agent_.pid())).c_str());
                std::fflush(stdout);
            }
        }
        settle();
        if (agent_.running()) {
            end = test_support::figuresOf(agent_.pid());
            off_t logEnd = fileSize(agent_.logPath());
            double seconds = std::chrono::duration<double>(Clock::now() - began).count();
            int measured = n - measuredFrom;
            std::printf("soak: agent after %d conversations: %s, log %lld bytes\n", n,
                        test_support::describe(end).c_str(), static_cast<long long>(logEnd));
            std::printf("soak: %d conversations in %.1f s (%.2f s each), log %.0f bytes per conversation\n", n, seconds,
                        seconds / n, measured > 0 ? static_cast<double>(logEnd - logStart) / measured : 0.0);
            std::string faults;
            int total = 0;
            for (const auto& [f, c] : faultCount) {
                faults += std::string(faults.empty() ? "" : ", ") + faultName(f) + " " + std::to_string(c);
                total += c;
            }
            std::printf("soak: faults mixed in: %d (%s)\n", total, faults.empty() ? "none" : faults.c_str());
            std::printf("soak: conversations lost: %d (%d right after a fault)\n", lost, lostAfterFault);
            if (warm < n) compareFigures("agent", start, end, failures_);
            checkRobotRefusals(faultCount[Fault::Robot] > 0);
        } else {
            failures_.push_back("the agent process ended: " + agent_.errors());
        }
        return failures_.empty() ? 0 : 1;
    }

    const std::vector<std::string>& failures() const { return failures_; }

private:
    bool setUp(std::string* error) {
        namespace fs = std::filesystem;
        if (dir_.path().empty()) {
            *error = "cannot make a temporary directory";
            return false;
        }
        if (!agent_rig::enterPrivateNetwork(error)) return false;
        try {
            trusted_ = cloud_rig::makeCloudCertificates(dir_.path() + "/certs", "localhost");
            untrusted_ = cloud_rig::makeCloudCertificates(dir_.path() + "/other-certs", "localhost");
        } catch (const std::exception& e) {
            *error = e.what();
            return false;
        }
        using nlohmann::json;
        answerOgg_ = cloud_rig::encodeOggOpus(cloud_rig::chirp(0.3, 48000, 400.0, 1600.0, 0.4), 48000);
        answer_ = {cloud_rig::CloudAction::text(json{{"type", "stt"}, {"text", "往前走一步"}}.dump()),
                   cloud_rig::CloudAction::text(json{{"type", "tts"}, {"state", "start"}, {"text", "好的"}}.dump()),
                   cloud_rig::CloudAction::binary(answerOgg_),
                   cloud_rig::CloudAction::text(json{{"type", "control"}, {"value", kControl}}.dump()),
                   cloud_rig::CloudAction::text(json{{"type", "tts"}, {"state", "stop"}}.dump())};

        // The microphone is read only during conversations, in real time.
        micPath_ = dir_.path() + "/mic.raw";
        if (!writeMicrophone(micPath_, 30.0 + 3.0 * opt_.conversations)) {
            *error = "cannot write " + micPath_;
            return false;
        }
        speakerDir_ = dir_.path() + "/speaker";
        fs::create_directories(speakerDir_);
        std::string alsaConf = dir_.path() + "/asound.conf";
        if (!writeAlsaConfig(alsaConf, micPath_, speakerDir_ + "/speaker_%r.raw", opt_.playbackSpeed)) {
            *error = "cannot write " + alsaConf;
            return false;
        }
        // Sounds: links to the tree's, removable one by one.
        resDir_ = dir_.path() + "/res";
        fs::create_directories(resDir_);
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(test_support::sourceDir() + "/res", ec))
            fs::create_symlink(e.path(), resDir_ + "/" + e.path().filename().string(), ec);
        tracePath_ = dir_.path() + "/robot.trace";

        board_ = std::make_unique<board_rig::PtyBoard>();
        agent_rig::AgentOptions o;
        o.program = test_support::binaryDir() + "/bin/tavrin_agent_loopback";
        o.ttySlave = board_->slave_path();
        o.resDir = resDir_;
        o.env = {"ALSA_CONFIG_PATH=" + alsaConf, "SSL_CERT_FILE=" + trusted_.caFile, "MC_SIM_TRACE=" + tracePath_,
                 "MC_SIM_DRIVE=1", "MC_SIM_SCENE=2",
                 // Conversations without a fault never ask for these; the robot fault does.
                 "MC_SIM_REFUSE_DRIVE=1", "MC_SIM_REFUSE_SCENE=1", "MC_SIM_REFUSE_SPEED=1", "MC_SIM_REFUSE_GUARDIAN=1"};
        if (!agent_.start(o)) {
            *error = "cannot start " + o.program;
            return false;
        }
        log_ = std::make_unique<LogCounter>(
            agent_.logPath(),
            std::vector<std::string>{"recording task not running, start it", "Setting emoji state: 4",
                                     std::string("Control command: ") + kControl, "Received TTS state: stop",
                                     "Waiting for hotword", "Soundcard have not been initialized"});
        if (!client_.connect(agent_.socketPath(), 20s)) {
            *error = "the agent's socket never accepted: " + agent_.errors();
            return false;
        }
        if (!startRecording(1, error)) return false;
        if (!board_->wait_raw(20s)) {
            *error = "the agent never set up the board's port";
            return false;
        }
        board_->write(board_rig::handshake(1));
        if (!board_->read_frame(10s)) {
            *error = "the agent never acknowledged the board's handshake";
            return false;
        }
        return true;
    }

    bool startRecording(size_t waits, std::string* error) {
        auto r = client_.request(
            AGENT_START, ++requestId_,
            agent_rig::commandPayload("velantis_agent_service", "Request to start audio recording"), 15s);
        if (!r || r->id != requestId_) {
            *error = "AGENT_START not answered";
            return false;
        }
        if (waits > 0 && !log_->waitFor(kWaiting, waits, 20s)) {
            *error = "the agent did not start recording";
            return false;
        }
        return true;
    }

    bool stopRecording(std::string* error) {
        auto r = client_.request(AGENT_STOP, ++requestId_,
                                 agent_rig::commandPayload("velantis_agent_service", "Request to stop audio recording"),
                                 15s);
        if (!r || r->id != requestId_) {
            *error = "AGENT_STOP not answered";
            return false;
        }
        return true;
    }

    // Lets the link's pause after the last wake-up and the robot's queue run out.
    void settle() { std::this_thread::sleep_for(2500ms); }

    void wakeUp(int number) { board_->write(board_rig::wakeup(139.0 + number % 3, 1 + number % 2)); }

    // Garbage, a frame with a bad checksum, a header too long for any buffer, a device message
    // that is no JSON and one of another type, and half a wake-up frame completed by filler.
    void boardGarbage() {
        std::mt19937 rng(1234);
        board_rig::Bytes bytes;
        for (int i = 0; i < 48; ++i) {
            uint8_t b = static_cast<uint8_t>(rng());
            bytes.push_back(b == 0xA5 ? 0x5A : b);
        }
        bytes.insert(bytes.end(), {0xA5, 0x02, 0xA5, 0xA5, 0x00});
        board_rig::Bytes bad = board_rig::wakeup(90.0, 1);
        bad.back() ^= 0x55;
        bytes.insert(bytes.end(), bad.begin(), bad.end());
        bytes.insert(bytes.end(), {0xA5, 0x01, 0x04, 0xFF, 0xFF, 0x00, 0x00});
        auto junk = board_rig::device_msg("not json {{{");
        bytes.insert(bytes.end(), junk.begin(), junk.end());
        auto other = board_rig::device_msg(R"({"type":"aiui_other","content":{}})");
        bytes.insert(bytes.end(), other.begin(), other.end());
        board_rig::Bytes half = board_rig::wakeup(45.0, 2);
        size_t cut = half.size() / 2;
        bytes.insert(bytes.end(), half.begin(), half.begin() + static_cast<long>(cut));
        bytes.insert(bytes.end(), half.size() - cut, 0x00);
        board_->write(bytes);
    }

    std::unique_ptr<cloud_rig::FakeCloud> makeCloud(const cloud_rig::CloudCertificates& certs, bool answer,
                                                    std::string* error) {
        cloud_rig::FakeCloud::Options o;
        o.certFile = certs.certFile;
        o.keyFile = certs.keyFile;
        o.requiredAuthorization = "bravo_key92";
        o.port = agent_rig::ConversationRig::kCloudPort;
        auto cloud = std::make_unique<cloud_rig::FakeCloud>(o);
        if (answer) cloud->addRule({cloud_rig::CloudTrigger::Hello, 0, answer_});
        if (!cloud->start()) {
            *error = "fake cloud: " + cloud->error();
            return nullptr;
        }
        return cloud;
    }

    bool conversation(int number, Fault fault, std::string* why) {
        std::string error;
        // Each conversation gets a cloud of its own on the fixed port (or none).
        cloud_.reset();
        if (fault == Fault::CloudUntrusted)
            cloud_ = makeCloud(untrusted_, false, &error);
        else if (fault != Fault::CloudUnreachable)
            cloud_ = makeCloud(trusted_, true, &error);
        if (fault != Fault::CloudUnreachable && !cloud_) {
            *why = error;
            return false;
        }
        ::truncate((speakerDir_ + "/speaker_48000.raw").c_str(), 0);

        namespace fs = std::filesystem;
        std::error_code ec;
        if (fault == Fault::Speaker) {
            // The greeting cannot be read (which closes the device) and the device cannot open.
            for (const auto& p : entries(resDir_)) fs::rename(p, p + ".off", ec);
            fs::rename(speakerDir_, speakerDir_ + ".off", ec);
        }
        if (fault == Fault::Microphone) {
            // Recording restarts with a microphone that cannot be opened.
            size_t failed = log_->count(kSoundcardFailed);
            fs::rename(micPath_, micPath_ + ".off", ec);
            bool restarted = stopRecording(why) && startRecording(0, why);
            if (restarted && !log_->waitFor(kSoundcardFailed, failed + 1, 10s)) {
                *why = "the recording started although the microphone cannot be opened";
                restarted = false;
            }
            if (!restarted) {
                fs::rename(micPath_ + ".off", micPath_, ec);
                return false;
            }
        }
        if (fault == Fault::BoardGarbage) boardGarbage();

        size_t started = log_->count(kStarted), ended = log_->count(kEnded);
        size_t controls = log_->count(kControlSeen), ttsStops = log_->count(kTtsStop);
        wakeUp(number);
        auto t0 = Clock::now();
        auto stamp = [&](const char* what) {
            if (opt_.verbose)
                std::printf("%d %s %.3f\n", number, what, std::chrono::duration<double>(Clock::now() - t0).count());
        };
        bool ok = true;
        if (!log_->waitFor(kStarted, started + 1, 15s)) {
            *why = "the wake-up did not start a conversation";
            ok = false;
        }

        stamp("started");
        bool connected = fault != Fault::CloudUnreachable && fault != Fault::CloudUntrusted;
        if (ok && connected) {
            // The hello, then the microphone (none when it failed).
            size_t want = fault == Fault::Microphone ? 0 : kPackets;
            bool came = cloud_->waitUntil(
                [&] {
                    auto fr = framesOf(*cloud_, 1);
                    return !fr.empty() && binaries(fr) >= want && (want > 0 || isHello(fr.front()));
                },
                15s);
            auto fr = framesOf(*cloud_, 1);
            stamp("packets");
            if (!came) {
                *why = "the cloud got " + std::to_string(fr.size()) + " frames (" + std::to_string(binaries(fr)) +
                       " packets) within 15 s";
                ok = false;
            } else if (!isHello(fr.front())) {
                *why = "the first frame was not the hello";
                ok = false;
            }
            if (ok && fault == Fault::Robot)
                cloud_->sendText(nlohmann::json{{"type", "control"}, {"value", kRobotFaultControl}}.dump());
            if (ok && fault == Fault::CloudClose) {
                // Midway: a close frame or a dropped connection; the agent connects again.
                cloud_->act({number % 20 == 0 ? cloud_rig::CloudAction::drop()
                                              : cloud_rig::CloudAction::close(4000, "soak: closing midway")});
                cloud_->waitUntil([&] { return binaries(framesOf(*cloud_, 2)) >= 1; }, 5s);
            }
            if (ok && fault == Fault::None) {
                // The answer: speech and a control.
                if (!log_->waitFor(kTtsStop, ttsStops + 1, 10s) || !log_->waitFor(kControlSeen, controls + 1, 10s)) {
                    *why = "the cloud's answer was not handled";
                    ok = false;
                }
            }
        } else if (ok) {
            // Let it try to connect a few times.
            std::this_thread::sleep_for(600ms);
        }

        // The next wake-up ends it: goodbye, then the connection closes.
        stamp("answered");
        wakeUp(number + 1);
        if (!log_->waitFor(kEnded, ended + 1, 20s)) {
            if (ok) *why = "the second wake-up did not end the conversation";
            ok = false;
        }
        if (ok && connected) {
            int last = cloud_->connectionCount();
            if (!cloud_->waitUntil([&] { return closedNormally(framesOf(*cloud_, last)); }, 10s) &&
                fault == Fault::None) {
                *why = "the connection was not closed with a normal closure";
                ok = false;
            }
        }
        stamp("closed");
        if (ok && cloud_ && !helloFirstEverywhere(*cloud_, why)) ok = false;
        if (ok && fault == Fault::CloudUntrusted && !cloud_->handshakes().empty()) {
            *why = "the agent completed a handshake with an untrusted server";
            ok = false;
        }
        if (ok && fault == Fault::None) {
            double rms = upstreamRms(packetsOf(framesOf(*cloud_, 1)));
            if (rms < 1000.0) {
                *why = "the upstream audio is silence (RMS " + std::to_string(rms) + ")";
                ok = false;
            }
        }

        // Put the peers back.
        if (fault == Fault::Speaker) {
            fs::rename(speakerDir_ + ".off", speakerDir_, ec);
            for (const auto& p : entries(resDir_))
                if (p.size() > 4 && p.compare(p.size() - 4, 4, ".off") == 0)
                    fs::rename(p, p.substr(0, p.size() - 4), ec);
        }
        if (fault == Fault::Microphone) {
            fs::rename(micPath_ + ".off", micPath_, ec);
            size_t waiting = log_->count(kWaiting);
            std::string err;
            if (!stopRecording(&err) || !startRecording(waiting + 1, &err)) {
                *why = err;
                return false;
            }
        }
        return ok;
    }

    // The robot fault's calls reached the robot and were refused.
    void checkRobotRefusals(bool expected) {
        if (!expected) return;
        std::string trace = test_support::readFile(tracePath_);
        for (const char* fn : {"rcClientInterfaceDriverEnable", "rcClientInterfaceSetScene",
                               "rcClientInterfaceSpeedAdjust", "rcClientInterfaceSetGuardianSwitch"}) {
            bool refused = false;
            std::istringstream in(trace);
            std::string line;
            while (std::getline(in, line))
                if (line.find(fn) != std::string::npos && line.find("result=0") != std::string::npos) refused = true;
            if (!refused) failures_.push_back(std::string("robot fault: no refused ") + fn + " call in the trace");
        }
    }

    Options opt_;
    test_support::TempDir dir_{"soak", agent_rig::kRunDir};
    cloud_rig::CloudCertificates trusted_, untrusted_;
    std::string answerOgg_;
    std::vector<cloud_rig::CloudAction> answer_;
    std::string micPath_, speakerDir_, resDir_, tracePath_;
    std::unique_ptr<board_rig::PtyBoard> board_;
    std::unique_ptr<cloud_rig::FakeCloud> cloud_;
    agent_rig::AgentProcess agent_;
    agent_rig::ControlClient client_;
    std::unique_ptr<LogCounter> log_;
    uint64_t requestId_ = 0;
    std::vector<std::string> failures_;
};

}  // namespace

AgentSoakResult agentSoak(const AgentSoakOptions& opt) {
    AgentSoak soak(opt);
    AgentSoakResult r;
    r.status = soak.run();
    r.failures = soak.failures();
    return r;
}

}  // namespace soak
