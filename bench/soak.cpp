// Soak: months of use in minutes. Needs root (private mount and network namespaces).
//
//   soak [--conversations N] [--service-cycles N] [--playback-speed X] [--warm-up N] [--verbose]
//
// 1. Runs the agent process (the loopback build of tavrin_agent) against the board on a
//    pseudo-terminal, the paced sound device, the simulated robot and a fake cloud on
//    loopback, for N conversations back to back (default 500). Every tenth conversation has
//    a fault of a peer mixed in, in turn: the cloud closes or drops the connection midway,
//    nothing listens at the cloud's port, the cloud's certificate is not trusted, the board
//    sends garbage, bad and half frames, the speaker device cannot be opened, the robot
//    refuses posture, drive, speed and guardian calls, the microphone cannot be opened.
//    Every conversation without a fault (and so every one after a fault) must reach the cloud
//    with the hello first, the microphone's signal after it, get the answer and close.
// 2. Runs the service library in a process of its own (private /tmp and /dev/ttyACM0)
//    through start/stop cycles with clients connected (default 200).
// Resident memory, descriptors and threads are taken after a few warm-up rounds and at the
// end; descriptors and threads must be equal and memory within 1 MiB. Exit status 0 when
// everything held, 1 otherwise (the reasons are printed), 2 when it could not run.
//
// Playback runs --playback-speed times faster than real time (default 10), so greeting and
// goodbye sounds take a fraction of their length; capture stays real time. The link's own
// one-second pause after each wake-up bounds a conversation to a bit over two seconds.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "alsa_test_device.h"
#include "conversation_rig.h"
#include "kokoro_rig.h"
#include "ogg_opus.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// ---------------------------------------------------------------------------------------
// Figures of a process.

struct Figures {
    long rssKiB = -1;
    int fds = -1;
    int threads = -1;
};

int countEntries(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

long rssKiB(pid_t pid) {
    std::istringstream in(agent_rig::readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Descriptors of our own process are counted with the one opendir holds taken off.
Figures figuresOf(pid_t pid) {
    Figures f;
    std::string proc = "/proc/" + std::to_string(pid);
    f.rssKiB = rssKiB(pid);
    f.fds = countEntries(proc + "/fd");
    if (pid == ::getpid() && f.fds > 0) --f.fds;
    f.threads = countEntries(proc + "/task");
    return f;
}

std::string describe(const Figures& f) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "resident %ld KiB, %d descriptors, %d threads", f.rssKiB, f.fds, f.threads);
    return buf;
}

// Appends why to failures when the figures moved.
void compareFigures(const std::string& who, const Figures& a, const Figures& b, std::vector<std::string>& failures) {
    if (a.fds != b.fds)
        failures.push_back(who + ": descriptors " + std::to_string(a.fds) + " -> " + std::to_string(b.fds));
    if (a.threads != b.threads)
        failures.push_back(who + ": threads " + std::to_string(a.threads) + " -> " + std::to_string(b.threads));
    if (std::labs(b.rssKiB - a.rssKiB) > 1024)
        failures.push_back(who + ": resident memory " + std::to_string(a.rssKiB) + " KiB -> " +
                           std::to_string(b.rssKiB) + " KiB (more than 1 MiB apart)");
}

off_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

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
        return agent_rig::waitUntil([&] { return count(i) >= atLeast; }, timeout);
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
bool writeMicrophone(const std::string& path, double seconds) {
    const int rate = 16000;
    std::vector<int16_t> period = rig::chirp(7.0, rate, 200.0, 3000.0, 0.6);
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

// ---------------------------------------------------------------------------------------
// The agent soak.

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
    struct Options {
        int conversations = 500;
        int warmUp = 5;
        double playbackSpeed = 10.0;
        bool verbose = false;  // times of each conversation's steps
    };

    explicit AgentSoak(Options o) : opt_(o) {}

    int run() {
        std::string error;
        if (!setUp(&error)) {
            std::fprintf(stderr, "soak: %s\n", error.c_str());
            return 2;
        }
        const int n = opt_.conversations;
        const int warm = std::min(opt_.warmUp, std::max(0, n / 4));
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
                start = figuresOf(agent_.pid());
                logStart = fileSize(agent_.logPath());
                measuredFrom = i;
                std::printf("soak: agent after %d warm-up conversations: %s, log %lld bytes\n", warm,
                            describe(start).c_str(), static_cast<long long>(logStart));
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
                            describe(figuresOf(agent_.pid())).c_str());
                std::fflush(stdout);
            }
        }
        settle();
        if (agent_.running()) {
            end = figuresOf(agent_.pid());
            off_t logEnd = fileSize(agent_.logPath());
            double seconds = std::chrono::duration<double>(Clock::now() - began).count();
            int measured = n - measuredFrom;
            std::printf("soak: agent after %d conversations: %s, log %lld bytes\n", n, describe(end).c_str(),
                        static_cast<long long>(logEnd));
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
            trusted_ = rig::makeCloudCertificates(dir_.path() + "/certs", "localhost");
            untrusted_ = rig::makeCloudCertificates(dir_.path() + "/other-certs", "localhost");
        } catch (const std::exception& e) {
            *error = e.what();
            return false;
        }
        using nlohmann::json;
        answerOgg_ = rig::encodeOggOpus(rig::chirp(0.3, 48000, 400.0, 1600.0, 0.4), 48000);
        answer_ = {rig::CloudAction::text(json{{"type", "stt"}, {"text", "往前走一步"}}.dump()),
                   rig::CloudAction::text(json{{"type", "tts"}, {"state", "start"}, {"text", "好的"}}.dump()),
                   rig::CloudAction::binary(answerOgg_),
                   rig::CloudAction::text(json{{"type", "control"}, {"value", kControl}}.dump()),
                   rig::CloudAction::text(json{{"type", "tts"}, {"state", "stop"}}.dump())};

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
        for (const auto& e : fs::directory_iterator(agent_rig::sourceDir() + "/res", ec))
            fs::create_symlink(e.path(), resDir_ + "/" + e.path().filename().string(), ec);
        tracePath_ = dir_.path() + "/robot.trace";

        board_ = std::make_unique<board_rig::PtyBoard>();
        agent_rig::AgentOptions o;
        o.program = agent_rig::binaryDir() + "/bin/tavrin_agent_loopback";
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

    std::unique_ptr<rig::FakeCloud> makeCloud(const rig::CloudCertificates& certs, bool answer, std::string* error) {
        rig::FakeCloud::Options o;
        o.certFile = certs.certFile;
        o.keyFile = certs.keyFile;
        o.requiredAuthorization = "bravo_key92";
        o.port = agent_rig::ConversationRig::kCloudPort;
        auto cloud = std::make_unique<rig::FakeCloud>(o);
        if (answer) cloud->addRule({rig::CloudTrigger::Hello, 0, answer_});
        if (!cloud->start()) {
            *error = "fake cloud: " + cloud->error();
            return nullptr;
        }
        return cloud;
    }

    // Frames of one connection, in order of arrival.
    static std::vector<rig::ReceivedFrame> framesOf(const rig::FakeCloud& cloud, int connection) {
        std::vector<rig::ReceivedFrame> out;
        for (auto& f : cloud.frames())
            if (f.connection == connection) out.push_back(std::move(f));
        return out;
    }

    static bool isHello(const rig::ReceivedFrame& f) {
        if (f.kind != rig::FrameKind::Text) return false;
        try {
            auto j = nlohmann::json::parse(f.data);
            return j.is_object() && j.value("type", "") == "hello";
        } catch (const std::exception&) {
            return false;
        }
    }

    // Every connection that sent anything sent the hello first.
    static bool helloFirstEverywhere(const rig::FakeCloud& cloud, std::string* why) {
        for (int c = 1; c <= cloud.connectionCount(); ++c) {
            auto fr = framesOf(cloud, c);
            if (!fr.empty() && !isHello(fr.front())) {
                *why = "connection " + std::to_string(c) + " began with a frame other than the hello";
                return false;
            }
        }
        return true;
    }

    static size_t binaries(const std::vector<rig::ReceivedFrame>& fr) {
        return static_cast<size_t>(
            std::count_if(fr.begin(), fr.end(), [](const auto& f) { return f.kind == rig::FrameKind::Binary; }));
    }

    static bool closedNormally(const std::vector<rig::ReceivedFrame>& fr) {
        return std::any_of(fr.begin(), fr.end(),
                           [](const auto& f) { return f.kind == rig::FrameKind::Close && f.closeCode == 1000; });
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
                cloud_->act({number % 20 == 0 ? rig::CloudAction::drop()
                                              : rig::CloudAction::close(4000, "soak: closing midway")});
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

    static std::vector<std::string> entries(const std::string& dir) {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec)) out.push_back(e.path().string());
        return out;
    }

    static std::vector<std::string> packetsOf(const std::vector<rig::ReceivedFrame>& fr) {
        std::vector<std::string> packets;
        for (const auto& f : fr)
            if (f.kind == rig::FrameKind::Binary) packets.push_back(f.data);
        return packets;
    }

    // The robot fault's calls reached the robot and were refused.
    void checkRobotRefusals(bool expected) {
        if (!expected) return;
        std::string trace = agent_rig::readFile(tracePath_);
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
    agent_rig::TempDir dir_{"soak"};
    rig::CloudCertificates trusted_, untrusted_;
    std::string answerOgg_;
    std::vector<rig::CloudAction> answer_;
    std::string micPath_, speakerDir_, resDir_, tracePath_;
    std::unique_ptr<board_rig::PtyBoard> board_;
    std::unique_ptr<rig::FakeCloud> cloud_;
    agent_rig::AgentProcess agent_;
    agent_rig::ControlClient client_;
    std::unique_ptr<LogCounter> log_;
    uint64_t requestId_ = 0;
    std::vector<std::string> failures_;
};

// ---------------------------------------------------------------------------------------
// The service soak. The parent plays the board; the worker (this program again, in a
// private mount namespace) hosts the library.

const char* const kTtsPath = "/tmp/velantis_tts.sock";
const char* const kWakePath = "/tmp/velantis_wakeword.sock";
const char* const kWorkerVariable = "SOAK_SERVICE_WORKER";
// The worker asks the board for a wake-up by making this file in its /tmp.
const char* const kWakeUpRequest = "/tmp/soak-wake-up";

using WakeWordCallback = std::function<void(const velantis::MessageHeader&)>;

// The library's interface and the globals a host may use, by symbol name.
struct ServiceLibrary {
    void* handle = nullptr;
    void (*startService)() = nullptr;
    void (*stopService)() = nullptr;
    bool (*listenWakeWord)(WakeWordCallback) = nullptr;
    void (*stopWakeWordListening)() = nullptr;
    bool (*sendTTSRequest)(const std::string&) = nullptr;
    bool (*runTavrinAgent)() = nullptr;
    std::atomic<bool>* shutdownRequested = nullptr;
    std::mutex* mainMutex = nullptr;
    int* wakewordClientFd = nullptr;

    template <class F>
    bool resolve(F& fn, const char* symbol) {
        fn = reinterpret_cast<F>(dlsym(handle, symbol));
        if (!fn) std::printf("service: missing symbol %s\n", symbol);
        return fn != nullptr;
    }

    bool load() {
        std::string path = agent_rig::binaryDir() + "/lib/libvelantis_agent_service.so";
        handle = dlopen(path.c_str(), RTLD_NOW);
        if (!handle) {
            std::printf("service: %s\n", dlerror());
            return false;
        }
        return resolve(startService, "_ZN8velantis12startServiceEv") &&
               resolve(stopService, "_ZN8velantis11stopServiceEv") &&
               resolve(listenWakeWord, "_ZN8velantis14listenWakeWordESt8functionIFvRKNS_13MessageHeaderEEE") &&
               resolve(stopWakeWordListening, "_ZN8velantis21stopWakeWordListeningEv") &&
               resolve(sendTTSRequest,
                       "_ZN8velantis14sendTTSRequestERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE") &&
               resolve(runTavrinAgent, "_ZN8velantis14runTavrinAgentEv") &&
               resolve(shutdownRequested, "g_shutdown_requested") && resolve(mainMutex, "g_main_mutex") &&
               resolve(wakewordClientFd, "g_wakeword_client_fd");
    }
};

int connectTo(const char* path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

bool canConnect(const char* path) {
    int fd = connectTo(path);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool recvExact(int fd, void* buf, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::recv(fd, static_cast<char*>(buf) + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// A client of our own: the wake-word server greets it with its state.
bool wakeWordServerGreets() {
    int fd = connectTo(kWakePath);
    if (fd < 0) return false;
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    velantis::MessageHeader h{};
    bool ok = recvExact(fd, &h, sizeof(h)) && h.type == WAKEWORD_STATE;
    std::vector<char> payload(ok ? h.length : 0);
    ok = ok && (payload.empty() || recvExact(fd, payload.data(), payload.size()));
    ::close(fd);
    return ok;
}

// Runs in the worker: `cycles` start/stop cycles, figures after `warm` of them.
int serviceWorker(int cycles, int warm) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The speech engine reads "./kokoro-multi-lang-v1_1/".
    if (::symlink(kokoro_rig::builtModelDir().c_str(), kokoro_rig::kDirName) != 0) {
        std::printf("service: cannot link the speech model\n");
        return 2;
    }
    ServiceLibrary lib;
    if (!lib.load()) return 2;
    std::vector<std::string> failures;
    std::atomic<int> events{0}, states{0};
    int requested = 0;
    Figures start, end;
    int spoken = 0;
    auto began = Clock::now();
    for (int c = 0; c < cycles && failures.size() < 20; ++c) {
        if (c == warm) {
            std::this_thread::sleep_for(500ms);
            start = figuresOf(::getpid());
            std::printf("service: after %d warm-up cycles: %s\n", warm, describe(start).c_str());
        }
        if (c > 0 && c % 20 == 0) std::printf("service: %d cycles, %s\n", c, describe(figuresOf(::getpid())).c_str());
        std::string at = "cycle " + std::to_string(c + 1) + ": ";
        std::thread service(lib.startService);
        if (!agent_rig::waitUntil([] { return canConnect(kTtsPath) && canConnect(kWakePath); }, 15s))
            failures.push_back(at + "the servers did not listen");

        // The library's listener, our own client, a text to speak, and the agent client
        // (no agent runs here: it must fail, not hang).
        std::atomic<bool> listening{false};
        std::thread listener([&] {
            lib.listenWakeWord([&](const velantis::MessageHeader& h) {
                std::vector<char> payload(h.length);
                if (h.length) recvExact(*lib.wakewordClientFd, payload.data(), payload.size());
                if (h.type == WAKEWORD_EVENT) ++events;
                if (h.type == WAKEWORD_STATE) {
                    ++states;
                    listening = true;
                }
            });
        });
        if (!agent_rig::waitUntil([&] { return listening.load(); }, 10s))
            failures.push_back(at + "the library's listener was not greeted");
        if (!wakeWordServerGreets()) failures.push_back(at + "the wake-word server did not greet a client");
        if (lib.sendTTSRequest("三"))
            ++spoken;
        else
            failures.push_back(at + "the text was not sent");
        if (lib.runTavrinAgent()) failures.push_back(at + "an agent answered where none runs");
        // Every tenth cycle a wake-up of the board must reach the listener of this server.
        if (c % 10 == 5) {
            int before = events.load();
            ++requested;
            std::ofstream(kWakeUpRequest).put('\n');
            if (!agent_rig::waitUntil([&] { return events.load() > before; }, 10s))
                failures.push_back(at + "the board's wake-up did not reach the listener");
        }

        lib.stopWakeWordListening();
        lib.stopService();
        listener.join();
        lib.stopWakeWordListening();
        service.join();
        // The service runs once per process by design: a host that starts it again clears the
        // flag once startService has returned.
        {
            std::lock_guard<std::mutex> lock(*lib.mainMutex);
            lib.shutdownRequested->store(false);
        }
    }
    std::this_thread::sleep_for(500ms);
    end = figuresOf(::getpid());
    double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    off_t log = fileSize("logs/basic-log.txt");
    std::printf("service: after %d cycles: %s\n", cycles, describe(end).c_str());
    std::printf(
        "service: %d cycles in %.1f s, %d texts spoken, %d listener greetings, %d of %d wake-ups heard, log %.0f "
        "bytes per cycle\n",
        cycles, seconds, spoken, states.load(), events.load(), requested,
        static_cast<double>(log) / std::max(1, cycles));
    if (warm < cycles) compareFigures("service host", start, end, failures);
    for (const auto& f : failures) std::printf("service: FAILED: %s\n", f.c_str());
    return failures.empty() ? 0 : 1;
}

// Starts the worker beside a board and plays wake-ups while it runs.
int serviceSoak(int cycles, double playbackSpeed) {
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) return 2;
    exe[n] = '\0';
    board_rig::PtyBoard board;
    agent_rig::AgentProcess worker;
    agent_rig::AgentOptions o;
    o.program = exe;
    o.ttySlave = board.slave_path();
    o.env = alsa_rig::environment("", "", playbackSpeed);
    // Each cycle's threads would land in further malloc arenas until glibc's limit (eight per
    // core), which grows resident memory by megabytes without a leak: one arena shows what the
    // library itself keeps. Figures are taken after 40 cycles (half the run when shorter).
    o.env.push_back("MALLOC_ARENA_MAX=1");
    o.env.push_back(std::string(kWorkerVariable) + "=" + std::to_string(cycles) + "," +
                    std::to_string(std::min(40, cycles / 2)));
    if (!worker.start(o)) {
        std::fprintf(stderr, "soak: cannot start the service worker\n");
        return 2;
    }
    auto deadline = Clock::now() + std::chrono::seconds(60 + 5 * cycles);
    const std::string request = worker.tmpDir() + (kWakeUpRequest + std::strlen("/tmp"));
    bool raw = false;
    int wakeUps = 0;
    while (worker.running() && Clock::now() < deadline) {
        if (!raw) raw = board.wait_raw(20ms);
        if (raw && ::unlink(request.c_str()) == 0) {
            board.write(board_rig::wakeup(140.0, 1));
            ++wakeUps;
        }
        std::this_thread::sleep_for(20ms);
    }
    bool timedOut = worker.running();
    worker.kill();
    // Only our own lines: the library talks a lot on its standard output.
    std::istringstream out(worker.output());
    for (std::string line; std::getline(out, line);)
        if (line.rfind("service: ", 0) == 0) std::printf("%s\n", line.c_str());
    std::printf("service: %d wake-ups sent by the board\n", wakeUps);
    if (timedOut) {
        std::printf("service: FAILED: the worker did not finish in time\n");
        return 1;
    }
    auto status = worker.exitStatus();
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        std::string err = worker.errors();
        std::fputs(err.substr(err.size() > 2000 ? err.size() - 2000 : 0).c_str(), stdout);
        std::printf("service: FAILED: the worker ended with status %d\n", status ? *status : -1);
        return 1;
    }
    return 0;
}

void usage() {
    std::fprintf(
        stderr,
        "usage: soak [--conversations N] [--service-cycles N] [--playback-speed X] [--warm-up N] [--verbose]\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* w = std::getenv(kWorkerVariable)) {
        int cycles = 0, warm = 0;
        if (std::sscanf(w, "%d,%d", &cycles, &warm) != 2) return 2;
        return serviceWorker(cycles, warm);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    AgentSoak::Options opt;
    int cycles = 200;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--verbose") {
            opt.verbose = true;
            continue;
        }
        if (i + 1 >= argc) {
            usage();
            return 2;
        }
        if (a == "--conversations")
            opt.conversations = std::atoi(argv[++i]);
        else if (a == "--service-cycles")
            cycles = std::atoi(argv[++i]);
        else if (a == "--playback-speed")
            opt.playbackSpeed = std::atof(argv[++i]);
        else if (a == "--warm-up")
            opt.warmUp = std::atoi(argv[++i]);
        else {
            usage();
            return 2;
        }
    }
    if (opt.conversations < 0 || cycles < 0 || !(opt.playbackSpeed >= 1.0 && opt.playbackSpeed <= 100.0)) {
        usage();
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "soak: needs root (private mount and network namespaces)\n");
        return 2;
    }
    int rc = 0;
    if (opt.conversations > 0) {
        AgentSoak soak(opt);
        int r = soak.run();
        for (const auto& f : soak.failures()) std::printf("soak: FAILED: %s\n", f.c_str());
        rc = std::max(rc, r);
    }
    if (cycles > 0) rc = std::max(rc, serviceSoak(cycles, opt.playbackSpeed));
    std::printf("soak: %s\n", rc == 0 ? "passed" : "FAILED");
    return rc;
}
