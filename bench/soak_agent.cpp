// The agent soak: conversations back to back with faults of the peers mixed in.
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bench/soak.h"
#include "tests/rig/agent/conversation_rig.h"
#include "tests/rig/cloud/ogg_opus.h"

using namespace std::chrono_literals;
using bench::Clock;
namespace fs = std::filesystem;

namespace soak {

namespace {

// Counts lines of interest in a growing log, reading each whole line once.
class LogCounter {
public:
    LogCounter(std::string path, std::vector<std::string> needles)
        : path_(std::move(path)), needles_(std::move(needles)), counts_(needles_.size(), 0) {}

    size_t count(size_t i) {
        std::ifstream f(path_, std::ios::binary);
        f.seekg(offset_);
        std::string lines((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        lines.resize(lines.rfind('\n') + 1);  // none: empty
        offset_ += static_cast<off_t>(lines.size());
        for (size_t k = 0; k < needles_.size(); ++k) counts_[k] += test_support::countOf(lines, needles_[k]);
        return counts_[i];
    }
    bool waitFor(size_t i, size_t atLeast, std::chrono::milliseconds timeout) {
        return test_support::waitUntil([&] { return count(i) >= atLeast; }, timeout);
    }

private:
    std::string path_;
    std::vector<std::string> needles_;
    std::vector<size_t> counts_;
    off_t offset_ = 0;
};

// A speech-like microphone signal: a chirp under a syllable-rate envelope, repeated.
bool writeMicrophone(const std::string& path, double seconds) {
    const int rate = 16000;
    std::vector<int16_t> period = cloud_rig::chirp(7.0, rate, 200.0, 3000.0, 0.6);
    for (size_t i = 0; i < period.size(); ++i)
        period[i] = static_cast<int16_t>(period[i] * (0.35 + 0.65 * std::fabs(std::sin(2.0 * M_PI * 2.3 * i / rate))));
    std::ofstream f(path, std::ios::binary);
    const size_t total = static_cast<size_t>(seconds * rate);
    for (size_t done = 0, n = 0; done < total && f; done += n) {
        n = std::min(period.size(), total - done);
        f.write(reinterpret_cast<const char*>(period.data()), static_cast<std::streamsize>(n * 2));
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

// Frames the cloud got on one connection, in order of arrival.
using Frames = std::vector<cloud_rig::ReceivedFrame>;
Frames framesOf(const cloud_rig::FakeCloud& cloud, int connection) {
    Frames out;
    for (auto& f : cloud.frames())
        if (f.connection == connection) out.push_back(std::move(f));
    return out;
}

bool isHello(const cloud_rig::ReceivedFrame& f) {
    if (f.kind != cloud_rig::FrameKind::Text) return false;
    auto j = nlohmann::json::parse(f.data, nullptr, false);
    return j.is_object() && j.value("type", "") == "hello";
}

std::vector<std::string> packetsOf(const Frames& fr) {
    std::vector<std::string> packets;
    for (const auto& f : fr)
        if (f.kind == cloud_rig::FrameKind::Binary) packets.push_back(f.data);
    return packets;
}

// RMS of the decoded upstream audio after its first block (the encoder's start).
double upstreamRms(const Frames& fr) {
    std::vector<int16_t> pcm = agent_rig::ConversationRig::decodeUpstream(packetsOf(fr));
    if (pcm.size() <= 960) return 0.0;
    double sum = 0;
    for (size_t i = 960; i < pcm.size(); ++i) sum += static_cast<double>(pcm[i]) * pcm[i];
    return std::sqrt(sum / static_cast<double>(pcm.size() - 960));
}

enum Fault { None, CloudClose, CloudUnreachable, CloudUntrusted, BoardGarbage, Speaker, Robot, Microphone, kFaults };
constexpr const char* kFaultNames[kFaults] = {"none",
                                              "cloud closes midway",
                                              "cloud unreachable",
                                              "cloud certificate untrusted",
                                              "board garbage and half frames",
                                              "speaker device fails",
                                              "robot calls fail",
                                              "microphone device fails"};

constexpr size_t kPackets = 3;            // upstream packets a conversation must deliver
constexpr const char* kControl = "前,1";  // a 60 ms step: the robot's queue never piles up
constexpr const char* kRobotFaultControl = "起立;趴下;停";

// Log lines counted (indices into the counter).
enum Needle { kStarted, kEnded, kControlSeen, kTtsStop, kWaiting, kSoundcardFailed };

class AgentSoak {
public:
    explicit AgentSoak(AgentSoakOptions o) : opt_(o) {}

    int run() {
        std::string error;
        if (!setUp(&error)) {
            std::fprintf(stderr, "soak: %s\n", error.c_str());
            return 2;
        }
        const int n = opt_.conversations;
        // At least one warm-up conversation when there are two: the first grows the agent.
        const int warm = std::min(opt_.warmUp, std::max(n > 1 ? 1 : 0, n / 4));
        Figures start;
        double logStart = 0;
        int faultCount[kFaults] = {};
        const auto began = Clock::now();
        int lostAfterFault = 0, lost = 0;
        bool previousFaulted = false;
        for (int i = 0; i < n; ++i) {
            if (i == warm) {
                start = settledFigures(agent_.pid());
                logStart = bench::fileSize(agent_.logPath());
                std::printf("soak: agent after %d warm-up conversations: %s, log %.0f bytes\n", warm,
                            test_support::describe(start).c_str(), logStart);
            }
            // Every tenth conversation has the next fault in turn.
            const int fault = (i + 1) % 10 == 0 ? 1 + ((i + 1) / 10 - 1) % (kFaults - 1) : None;
            std::string why;
            bool ok = conversation(i + 1, fault, &why);
            ++faultCount[fault];
            if (!ok) {
                if (!agent_.running()) {
                    failures_.push_back("conversation " + std::to_string(i + 1) + ": the agent process ended");
                    break;
                }
                if (fault == None) {
                    ++lost;
                    if (previousFaulted) ++lostAfterFault;
                }
                failures_.push_back("conversation " + std::to_string(i + 1) + " (" + kFaultNames[fault] + "): " + why);
                if (failures_.size() > 20) {
                    failures_.push_back("too many failures, stopped");
                    break;
                }
            }
            previousFaulted = fault != None;
            if ((i + 1) % 50 == 0)
                std::printf("soak: %d conversations, %.1f s, agent %s\n", i + 1, bench::secondsSince(began),
                            test_support::describe(test_support::figuresOf(agent_.pid())).c_str());
        }
        if (agent_.running()) {
            const Figures end = settledFigures(agent_.pid());
            double logEnd = bench::fileSize(agent_.logPath()), took = bench::secondsSince(began);
            std::printf("soak: agent after %d conversations: %s, log %.0f bytes\n", n,
                        test_support::describe(end).c_str(), logEnd);
            std::printf("soak: %d conversations in %.1f s (%.2f s each), log %.0f bytes per conversation\n", n, took,
                        took / n, warm < n ? (logEnd - logStart) / (n - warm) : 0.0);
            std::string faults;
            int total = 0;
            for (int f = None + 1; f < kFaults; ++f)
                if (faultCount[f]) {
                    faults += (total ? ", " : "") + std::string(kFaultNames[f]) + " " + std::to_string(faultCount[f]);
                    total += faultCount[f];
                }
            std::printf("soak: faults mixed in: %d (%s)\n", total, total ? faults.c_str() : "none");
            std::printf("soak: conversations lost: %d (%d right after a fault)\n", lost, lostAfterFault);
            if (warm < n) compareFigures("agent", start, end, failures_);
            if (faultCount[Robot] > 0) checkRobotRefusals();
        } else {
            failures_.push_back("the agent process ended: " + agent_.errors());
        }
        for (const auto& f : failures_) std::printf("soak: FAILED: %s\n", f.c_str());
        return failures_.empty() ? 0 : 1;
    }

private:
    bool setUp(std::string* error) {
        auto fail = [&](const std::string& why) {
            *error = why;
            return false;
        };
        if (dir_.path().empty()) return fail("cannot make a temporary directory");
        if (!agent_rig::enterPrivateNetwork(error)) return false;
        try {
            trusted_ = cloud_rig::makeCloudCertificates(dir_.path() + "/certs", "localhost");
            untrusted_ = cloud_rig::makeCloudCertificates(dir_.path() + "/other-certs", "localhost");
        } catch (const std::exception& e) {
            return fail(e.what());
        }
        using nlohmann::json;
        answer_ = {cloud_rig::CloudAction::text(json{{"type", "stt"}, {"text", "往前走一步"}}.dump()),
                   cloud_rig::CloudAction::text(json{{"type", "tts"}, {"state", "start"}, {"text", "好的"}}.dump()),
                   cloud_rig::CloudAction::binary(
                       cloud_rig::encodeOggOpus(cloud_rig::chirp(0.3, 48000, 400.0, 1600.0, 0.4), 48000)),
                   cloud_rig::CloudAction::text(json{{"type", "control"}, {"value", kControl}}.dump()),
                   cloud_rig::CloudAction::text(json{{"type", "tts"}, {"state", "stop"}}.dump())};

        // The microphone is read only during conversations, in real time.
        micPath_ = dir_.path() + "/mic.raw";
        speakerDir_ = dir_.path() + "/speaker";
        fs::create_directories(speakerDir_);
        const std::string alsaConf = dir_.path() + "/asound.conf";
        if (!writeMicrophone(micPath_, 30.0 + 3.0 * opt_.conversations) ||
            !writeAlsaConfig(alsaConf, micPath_, speakerDir_ + "/speaker_%r.raw", opt_.playbackSpeed))
            return fail("cannot write the microphone or the ALSA configuration in " + dir_.path());
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
        if (!agent_.start(o)) return fail("cannot start " + o.program);
        log_ = std::make_unique<LogCounter>(
            agent_.logPath(),
            std::vector<std::string>{"recording task not running, start it", "Setting emoji state: 4",
                                     std::string("Control command: ") + kControl, "Received TTS state: stop",
                                     "Waiting for hotword", "Soundcard have not been initialized"});
        if (!client_.connect(agent_.socketPath(), 20s))
            return fail("the agent's socket never accepted: " + agent_.errors());
        if (!recording(AGENT_START, error) || !listening(1, error)) return false;
        if (!board_->wait_raw(20s)) return fail("the agent never set up the board's port");
        board_->write(board_rig::handshake(1));
        if (!board_->read_frame(10s)) return fail("the agent never acknowledged the board's handshake");
        return true;
    }

    // AGENT_START or AGENT_STOP, answered.
    bool recording(uint32_t type, std::string* error) {
        const bool start = type == AGENT_START;
        auto r = client_.request(type, ++requestId_,
                                 agent_rig::commandPayload("velantis_agent_service",
                                                           start ? "Request to start audio recording"
                                                                 : "Request to stop audio recording"),
                                 15s);
        if (r && r->id == requestId_) return true;
        *error = start ? "AGENT_START not answered" : "AGENT_STOP not answered";
        return false;
    }

    // The agent waits for the hotword for the `times`-th time.
    bool listening(size_t times, std::string* error) {
        if (log_->waitFor(kWaiting, times, 20s)) return true;
        *error = "the agent did not start recording";
        return false;
    }

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
        auto append = [&](const board_rig::Bytes& b) { bytes.insert(bytes.end(), b.begin(), b.end()); };
        append({0xA5, 0x02, 0xA5, 0xA5, 0x00});
        board_rig::Bytes bad = board_rig::wakeup(90.0, 1);
        bad.back() ^= 0x55;
        append(bad);
        append({0xA5, 0x01, 0x04, 0xFF, 0xFF, 0x00, 0x00});
        append(board_rig::device_msg("not json {{{"));
        append(board_rig::device_msg(R"({"type":"aiui_other","content":{}})"));
        board_rig::Bytes half = board_rig::wakeup(45.0, 2);
        std::fill(half.begin() + static_cast<long>(half.size() / 2), half.end(), 0x00);
        append(half);
        board_->write(bytes);
    }

    // What a fault takes away: the microphone, or the speaker's directory and the sounds (the
    // greeting cannot be read, which closes the device, and the device cannot open).
    std::vector<fs::path> peerPaths(int fault) const {
        std::vector<fs::path> paths;
        std::error_code ec;
        if (fault == Microphone) paths.emplace_back(micPath_);
        if (fault == Speaker) paths.emplace_back(speakerDir_);
        for (const auto& e : fs::directory_iterator(fault == Speaker ? resDir_ : "", ec)) paths.push_back(e.path());
        return paths;
    }

    // Renames each path to or from "<path>.off".
    static void switchOff(const std::vector<fs::path>& paths, bool off) {
        std::error_code ec;
        for (const auto& p : paths) {
            const fs::path switched = p.string() + ".off";
            fs::rename(off ? p : switched, off ? switched : p, ec);
        }
    }

    bool conversation(int number, int fault, std::string* why) {
        // Each conversation gets a cloud of its own on the fixed port (or none).
        cloud_.reset();
        if (fault != CloudUnreachable) {
            const auto& certs = fault == CloudUntrusted ? untrusted_ : trusted_;
            cloud_rig::FakeCloud::Options o;
            o.certFile = certs.certFile;
            o.keyFile = certs.keyFile;
            o.requiredAuthorization = "bravo_key92";
            o.port = agent_rig::ConversationRig::kCloudPort;
            cloud_ = std::make_unique<cloud_rig::FakeCloud>(o);
            if (fault != CloudUntrusted) cloud_->addRule({cloud_rig::CloudTrigger::Hello, 0, answer_});
            if (!cloud_->start()) {
                *why = "fake cloud: " + cloud_->error();
                return false;
            }
        }
        ::truncate((speakerDir_ + "/speaker_48000.raw").c_str(), 0);

        const std::vector<fs::path> taken = peerPaths(fault);
        const size_t failed = log_->count(kSoundcardFailed);
        switchOff(taken, true);
        if (fault == Microphone) {
            // Recording restarts with a microphone that cannot be opened.
            bool restarted = recording(AGENT_STOP, why) && recording(AGENT_START, why);
            if (restarted && !log_->waitFor(kSoundcardFailed, failed + 1, 10s)) {
                *why = "the recording started although the microphone cannot be opened";
                restarted = false;
            }
            if (!restarted) {
                switchOff(taken, false);
                return false;
            }
        }
        if (fault == BoardGarbage) boardGarbage();

        size_t started = log_->count(kStarted), ended = log_->count(kEnded);
        size_t controls = log_->count(kControlSeen), ttsStops = log_->count(kTtsStop);
        wakeUp(number);
        auto t0 = Clock::now();
        auto stamp = [&](const char* what) {
            if (opt_.verbose) std::printf("%d %s %.3f\n", number, what, bench::secondsSince(t0));
        };
        bool ok = true;
        auto fail = [&](const std::string& reason) {
            if (ok) *why = reason;
            ok = false;
        };
        if (!log_->waitFor(kStarted, started + 1, 15s)) fail("the wake-up did not start a conversation");

        stamp("started");
        const bool connected = fault != CloudUnreachable && fault != CloudUntrusted;
        if (ok && connected) {
            // The hello, then the microphone (none when it failed).
            size_t want = fault == Microphone ? 0 : kPackets;
            bool came = cloud_->waitUntil(
                [&] {
                    auto fr = framesOf(*cloud_, 1);
                    return !fr.empty() && packetsOf(fr).size() >= want && (want > 0 || isHello(fr.front()));
                },
                15s);
            auto fr = framesOf(*cloud_, 1);
            stamp("packets");
            if (!came)
                fail("the cloud got " + std::to_string(fr.size()) + " frames (" + std::to_string(packetsOf(fr).size()) +
                     " packets) within 15 s");
            else if (!isHello(fr.front()))
                fail("the first frame was not the hello");
            if (ok && fault == Robot)
                cloud_->sendText(nlohmann::json{{"type", "control"}, {"value", kRobotFaultControl}}.dump());
            if (ok && fault == CloudClose) {
                // Midway: a close frame or a dropped connection; the agent connects again.
                cloud_->act({number % 20 == 0 ? cloud_rig::CloudAction::drop()
                                              : cloud_rig::CloudAction::close(4000, "soak: closing midway")});
                cloud_->waitUntil([&] { return !packetsOf(framesOf(*cloud_, 2)).empty(); }, 5s);
            }
            // The answer: speech and a control.
            if (ok && fault == None &&
                (!log_->waitFor(kTtsStop, ttsStops + 1, 10s) || !log_->waitFor(kControlSeen, controls + 1, 10s)))
                fail("the cloud's answer was not handled");
        } else if (ok) {
            // Let it try to connect a few times.
            std::this_thread::sleep_for(600ms);
        }

        // The next wake-up ends it: goodbye, then the connection closes.
        stamp("answered");
        wakeUp(number + 1);
        if (!log_->waitFor(kEnded, ended + 1, 20s)) fail("the second wake-up did not end the conversation");
        if (ok && connected) {
            const int last = cloud_->connectionCount();
            bool closed = cloud_->waitUntil(
                [&] {
                    auto fr = framesOf(*cloud_, last);
                    return std::any_of(fr.begin(), fr.end(), [](const auto& f) {
                        return f.kind == cloud_rig::FrameKind::Close && f.closeCode == 1000;
                    });
                },
                10s);
            if (!closed && fault == None) fail("the connection was not closed with a normal closure");
        }
        stamp("closed");
        // Every connection that sent anything sent the hello first.
        for (int c = 1; ok && cloud_ && c <= cloud_->connectionCount(); ++c) {
            auto fr = framesOf(*cloud_, c);
            if (!fr.empty() && !isHello(fr.front()))
                fail("connection " + std::to_string(c) + " began with a frame other than the hello");
        }
        if (fault == CloudUntrusted && !cloud_->handshakes().empty())
            fail("the agent completed a handshake with an untrusted server");
        if (ok && fault == None) {
            double rms = upstreamRms(framesOf(*cloud_, 1));
            if (rms < 1000.0) fail("the upstream audio is silence (RMS " + std::to_string(rms) + ")");
        }

        switchOff(taken, false);
        if (fault == Microphone) {
            size_t waiting = log_->count(kWaiting);
            if (!recording(AGENT_STOP, why) || !recording(AGENT_START, why) || !listening(waiting + 1, why))
                return false;
        }
        return ok;
    }

    // The robot fault's calls reached the robot and were refused.
    void checkRobotRefusals() {
        const std::vector<std::string> trace = test_support::splitLines(test_support::readFile(tracePath_));
        for (const char* fn : {"rcClientInterfaceDriverEnable", "rcClientInterfaceSetScene",
                               "rcClientInterfaceSpeedAdjust", "rcClientInterfaceSetGuardianSwitch"})
            if (std::none_of(trace.begin(), trace.end(), [&](const std::string& line) {
                    return line.find(fn) != std::string::npos && line.find("result=0") != std::string::npos;
                }))
                failures_.push_back(std::string("robot fault: no refused ") + fn + " call in the trace");
    }

    AgentSoakOptions opt_;
    test_support::TempDir dir_{"soak", agent_rig::kRunDir};
    cloud_rig::CloudCertificates trusted_, untrusted_;
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

int agentSoak(const AgentSoakOptions& opt) { return AgentSoak(opt).run(); }

}  // namespace soak
