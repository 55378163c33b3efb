// A whole simulated conversation with the agent process, printed as a transcript of what
// the board, the cloud, the speaker and the robot saw. Needs root.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "tests/rig/agent/conversation_rig.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point g_start = Clock::now();

void say(const std::string& who, const std::string& what) {
    double t = std::chrono::duration<double>(Clock::now() - g_start).count();
    std::printf("[%7.3f s] %-8s %s\n", t, who.c_str(), what.c_str());
    std::fflush(stdout);
}

// New complete lines of a growing file.
class Tail {
public:
    explicit Tail(std::string path) : path_(std::move(path)) {}
    std::vector<std::string> lines() {
        std::string all = test_support::readFile(path_);
        std::vector<std::string> out;
        size_t end;
        while (offset_ < all.size() && (end = all.find('\n', offset_)) != std::string::npos) {
            out.push_back(all.substr(offset_, end - offset_));
            offset_ = end + 1;
        }
        return out;
    }

private:
    std::string path_;
    size_t offset_ = 0;
};

class Transcript {
public:
    explicit Transcript(agent_rig::ConversationRig& rig)
        : rig_(rig), cloud_(rig.dir() + "/cloud.log"), robot_(rig.trace().path()), out_(rig.agent().stdoutPath()) {}

    // Prints what happened since the last call.
    void pump() {
        for (const auto& line : out_.lines()) agentLine(line);
        for (const auto& line : cloud_.lines()) cloudLine(line);
        for (const auto& line : robot_.lines()) robotLine(line);
        flushUpstream(false);
    }

    // Pumps until done() holds or the time is up.
    bool until(const std::function<bool()>& done, std::chrono::seconds timeout) {
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            pump();
            if (done()) return true;
            std::this_thread::sleep_for(20ms);
        }
        pump();
        return false;
    }

    void finish() {
        pump();
        flushPlayed();
        flushUpstream(true);
        flushRun();
    }

private:
    // The playback functions report every block they write: counted, not printed.
    void agentLine(const std::string& line) {
        if (line.rfind("playOnDefaultSpeaker called", 0) == 0) return;
        if (line.find("帧音频数据到默认扬声器") != std::string::npos) {
            ++playedBlocks_;
            return;
        }
        flushPlayed();
        say("AGENT", "stdout: " + (line.size() > 150 ? line.substr(0, 150) + " ..." : line));
    }

    void flushPlayed() {
        if (playedBlocks_) say("SPEAKER", std::to_string(playedBlocks_) + " blocks written by the agent");
        playedBlocks_ = 0;
    }

    void cloudLine(const std::string& line) {
        // "<ms> conn=<n> <event> ..."
        std::istringstream in(line);
        std::string ms, conn, event, kind;
        in >> ms >> conn >> event;
        std::string rest;
        std::getline(in, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        if (event == "recv" && rest.rfind("binary ", 0) == 0) {
            ++upPackets_;
            upBytes_ += std::stoul(rest.substr(7));
            return;
        }
        flushUpstream(true);
        if (event == "recv" || event == "sent") {
            std::istringstream r(rest);
            std::string size;
            r >> kind >> size;
            std::string body;
            std::getline(r, body);
            if (!body.empty() && body[0] == ' ') body.erase(0, 1);
            if (kind == "binary")
                say("CLOUD", "-> agent  binary: Ogg Opus answer, " + size + " bytes");
            else if (kind == "text")
                say("CLOUD", std::string(event == "recv" ? "<- agent  " : "-> agent  ") + "text: " + body);
            else
                say("CLOUD",
                    std::string(event == "recv" ? "<- agent  " : "-> agent  ") + kind + " " + size + " " + body);
        } else if (event == "handshake") {
            say("CLOUD", "WebSocket handshake (" + conn + "): " + rest);
        } else if (event == "open" || event == "connected" || event == "ended") {
            say("CLOUD", event + " (" + conn + ")" + (rest.empty() ? "" : ": " + rest));
        }
    }

    void flushUpstream(bool force) {
        if (upPackets_ == 0) return;
        auto now = Clock::now();
        if (!force && now - lastUp_ < 1s) return;
        say("CLOUD", "<- agent  " + std::to_string(upPackets_) + " binary frames (one Opus packet each, " +
                         std::to_string(upBytes_ / upPackets_) + " bytes on average)");
        upPackets_ = 0;
        upBytes_ = 0;
        lastUp_ = now;
    }

    void robotLine(const std::string& line) {
        auto call = robot_rig::parse_line(line);
        if (!call || robot_rig::is_call(*call, "GetCommonStatus")) return;
        if (robot_rig::is_call(*call, "DirectionMovement")) {
            std::ostringstream key;
            for (const char* axis : {"lx", "ly", "az"})
                if (std::abs(call->real(axis)) > 1e-6) key << axis << "=" << call->real(axis) << " ";
            if (key.str() != runKey_) {
                flushRun();
                say("ROBOT", "starts moving: " + key.str());
            }
            runKey_ = key.str();
            ++runCalls_;
            return;
        }
        std::string name = call->name;
        if (name.rfind("rcClientInterface", 0) == 0) name = name.substr(17);
        std::string args;
        for (const auto& [k, v] : call->args)
            if (k != "result") args += " " + k + "=" + call->str(k);
        std::string what = name + args;
        if (robot_rig::is_call(*call, "LightStripControl")) what = "emoji " + std::to_string(call->num("emoji"));
        if (robot_rig::is_call(*call, "DemoControl"))
            what = "demo action " + std::to_string(call->num("action")) +
                   (call->num("action") == 3 ? " (wag tail)" : "");
        say("ROBOT", what + (call->result() ? "" : " (refused)"));
    }

    void flushRun() {
        if (runCalls_ == 0) return;
        say("ROBOT", "moved " + runKey_ + "in " + std::to_string(runCalls_) + " movement calls (about " +
                         std::to_string(runCalls_ * 10) + " ms)");
        runCalls_ = 0;
        runKey_.clear();
    }

    agent_rig::ConversationRig& rig_;
    Tail cloud_, robot_, out_;
    size_t upPackets_ = 0, upBytes_ = 0;
    Clock::time_point lastUp_ = Clock::now();
    std::string runKey_;
    size_t runCalls_ = 0;
    size_t playedBlocks_ = 0;
};

// The agent's directory stays behind for a look at what went wrong.
int failed(agent_rig::ConversationRig& rig) {
    rig.agent().keep();
    std::printf("\nAgent log: %s (kept)\nAgent output: %s, %s\n", rig.agent().logPath().c_str(),
                rig.agent().stdoutPath().c_str(), rig.agent().stderrPath().c_str());
    return 1;
}

std::string seconds(size_t samples, int rate) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", static_cast<double>(samples) / rate);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "agent_demo: needs root (private mount and network namespaces)\n");
        return 2;
    }
    agent_rig::ConversationRig rig;
    std::string error;
    // The cloud answers once the user has spoken for a moment (20 packets, 1.2 s).
    agent_rig::CloudScript script;
    script.answerAfterPackets = 20;
    if (!rig.setUp(&error, argc > 1 ? argv[1] : "", script)) {
        std::fprintf(stderr, "agent_demo: %s\n", error.c_str());
        return failed(rig);
    }
    Transcript t(rig);
    auto& agent = rig.agent();
    auto& board = rig.board();
    auto& cloud = rig.cloud();
    bool ok = true;
    auto check = [&](bool cond, const std::string& what) {
        if (!cond) {
            say("DEMO", "FAILED: " + what);
            ok = false;
        }
        return cond;
    };

    say("HOST", "-> agent  AGENT_START (id 1)");
    auto reply = rig.start(1);
    if (!check(reply && reply->id == 1, "reply to AGENT_START")) return failed(rig);
    say("HOST", "<- agent  reply type " + std::to_string(reply->type) + " id " + std::to_string(reply->id));
    if (!check(board.wait_raw(20s), "the agent never set up /dev/ttyACM0")) return failed(rig);
    say("BOARD", "port set up by the agent (raw, 115200 baud)");
    board.write(board_rig::handshake(1));
    say("BOARD", "-> agent  handshake");
    auto ack = board.read_frame(10s);
    check(ack.has_value(), "handshake acknowledgement");
    if (ack) say("BOARD", "<- agent  " + board_rig::hex(*ack));
    agent.waitForLog("Waiting for hotword", 20s);

    say("BOARD", "-> agent  wake-up (aiui_event, angle 60, beam 2)");
    rig.wakeUp(60.0, 2);
    check(t.until(
              [&] {
                  size_t forward = 0, wag = 0;
                  for (const auto& c : rig.trace().all()) {
                      if (robot_rig::is_call(c, "DirectionMovement") && c.real("lx") > 0.4) ++forward;
                      if (robot_rig::is_call(c, "DemoControl") && c.num("action") == 3) ++wag;
                  }
                  return forward >= 60 && wag >= 1 && rig.upstreamPackets(1).size() >= 50;
              },
              60s),
          "the robot did not carry out the cloud's commands");

    say("BOARD", "-> agent  wake-up (aiui_event, angle 60, beam 2): ends the conversation");
    rig.wakeUp(60.0, 2);
    check(t.until(
              [&] {
                  return !cloud.frames(cloud_rig::FrameKind::Close).empty() &&
                         agent.log().find("Setting emoji state: 4") != std::string::npos;
              },
              40s),
          "no goodbye and close");

    say("HOST", "-> agent  AGENT_STOP (id 2)");
    reply = rig.stop(2);
    check(reply && reply->id == 2, "reply to AGENT_STOP");
    if (reply) say("HOST", "<- agent  reply type " + std::to_string(reply->type) + " id " + std::to_string(reply->id));
    t.finish();

    // What reached the cloud and the speaker.
    auto packets = rig.upstreamPackets(1);
    auto decoded = agent_rig::ConversationRig::decodeUpstream(packets);
    double micCorr = rig.microphoneCorrelation(decoded);
    char line[200];
    std::snprintf(line, sizeof line, "%zu Opus packets = %s of microphone audio, correlation with the microphone %.3f",
                  packets.size(), seconds(decoded.size(), 16000).c_str(), micCorr);
    say("CLOUD", line);
    check(micCorr > 0.9, "upstream audio does not match the microphone");

    auto speaker = rig.speaker();
    auto bye = rig.sound("好的，再见");
    say("SPEAKER", "played " + seconds(speaker.size(), 48000) + " at 48000 Hz:");
    size_t greetEnd = 0;
    if (const auto greeting = rig.greeting(speaker); check(greeting.at == 0, "no greeting on the speaker")) {
        say("SPEAKER", "  greeting res/" + greeting.name + ".wav (" + seconds(greeting.length, 48000) + ")");
        greetEnd = greeting.length;
    }
    const auto& answer = rig.answer();
    if (answer.size() > 9600) {
        std::vector<int16_t> piece(answer.begin() + 4800, answer.begin() + 9600);
        size_t at = 0;
        double c = agent_rig::ConversationRig::correlationIn(speaker, piece, greetEnd, greetEnd + 48000, &at);
        std::snprintf(line, sizeof line, "  the cloud's answer (%s, correlation %.3f)",
                      seconds(answer.size(), 48000).c_str(), c);
        say("SPEAKER", line);
        check(c > 0.95, "the cloud's answer was not played");
    }
    long byeAt = agent_rig::ConversationRig::findSamples(speaker, bye, greetEnd);
    if (check(byeAt >= 0, "no goodbye on the speaker"))
        say("SPEAKER", "  goodbye res/好的，再见.wav (" + seconds(bye.size(), 48000) + ")");

    if (!ok) {
        std::printf("\n%s", agent.log().c_str());
        return failed(rig);
    }
    std::printf("\nAgent log: (kept only on failure)\n");
    std::printf("The simulated conversation ran from wake-up to goodbye.\n");
    return 0;
}
