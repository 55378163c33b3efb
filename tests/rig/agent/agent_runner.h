// Runs the agent program as a separate process for tests and the demo: a temporary working
// directory holding res/ and getting logs/, a private "/tmp" (the agent socket appears in
// AgentProcess::tmpDir()), and its own "/dev/ttyACM0" pointing at a pseudo-terminal.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/unix_domain_socket_server.h"
#include "tests/support/build_dirs.h"
#include "tests/support/files.h"
#include "tests/support/framed_client.h"
#include "tests/support/private_tmp.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace agent_rig {

// Files that the agent must see (sounds in, speaker out, configuration) live under /var/tmp,
// not /tmp: the agent gets a private /tmp.
inline constexpr const char* kRunDir = "/var/tmp";

struct AgentOptions {
    std::string program;                                        // path of the agent program
    std::string ttySlave;                                       // pseudo-terminal that becomes "/dev/ttyACM0"
    std::vector<std::string> env;                               // extra "NAME=value" entries
    std::string resDir;                                         // sounds; default: the tree's res/
    std::function<void(const std::string& tmpDir)> prepareTmp;  // fills the private /tmp first
};

// One agent process in its own mount namespace. Killed by the destructor.
class AgentProcess {
public:
    AgentProcess() : dir_("agent-run", kRunDir) {}

    bool start(const AgentOptions& opt) {
        namespace fs = std::filesystem;
        work_ = dir_.path() + "/work";
        tmp_ = dir_.path() + "/tmp";
        std::error_code ec;
        fs::create_directories(work_, ec);
        fs::create_directories(tmp_, ec);
        fs::create_symlink(opt.resDir.empty() ? test_support::sourceDir() + "/res" : opt.resDir, work_ + "/res", ec);
        if (ec) return false;
        if (opt.prepareTmp) opt.prepareTmp(tmp_);
        // The trees the agent runs from (program, libraries, sounds, test devices) stay at their paths.
        test_support::PrivateTmp ns;
        ns.tmpDir = tmp_;
        ns.keep.push_back(fs::path(opt.program).parent_path().string());
        ns.keep.push_back(work_ + "/res");
        ns.ttyacm0 = opt.ttySlave;
        test_support::ProcessOptions o;
        o.argv = test_support::privateTmpCommand(ns, {opt.program});
        o.env = opt.env;
        o.cwd = work_;
        o.stdoutPath = stdoutPath();
        o.stderrPath = stderrPath();
        o.ownGroup = true;
        return process_.start(o);
    }

    // Leaves the working directory (log, standard output and error) behind.
    void keep() { dir_.keep(); }
    // Kills the agent (it has no orderly shutdown) and reaps it.
    void kill() { process_.kill(); }
    // True while the process runs; false once it has ended (its exit code is then kept).
    bool running() { return process_.running(); }
    std::optional<int> exitCode() const { return process_.exitCode(); }

    pid_t pid() const { return process_.pid(); }
    const std::string& tmpDir() const { return tmp_; }
    std::string socketPath() const { return tmp_ + "/velantis_agent.sock"; }
    std::string stdoutPath() const { return dir_.path() + "/stdout.txt"; }
    std::string stderrPath() const { return dir_.path() + "/stderr.txt"; }
    std::string logPath() const { return work_ + "/logs/basic-log.txt"; }
    std::string output() const { return test_support::readFile(stdoutPath()); }
    std::string errors() const { return test_support::readFile(stderrPath()); }
    std::string log() const { return test_support::readFile(logPath()); }

    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout, size_t times = 1) {
        return test_support::waitUntil([&] { return test_support::countOf(log(), text) >= times; }, timeout);
    }
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout, size_t times = 1) {
        return process_.waitOutput(text, timeout, times);
    }

private:
    test_support::TempDir dir_;
    std::string work_, tmp_;
    test_support::Process process_;
};

// The 320-byte payload of AGENT_START and AGENT_STOP.
inline std::string commandPayload(const std::string& from, const std::string& description) {
    std::string p(320, '\0');
    std::memcpy(&p[0], from.data(), std::min<size_t>(from.size(), 64));
    std::memcpy(&p[64], description.data(), std::min<size_t>(description.size(), 256));
    return p;
}

// A client of the agent's control socket.
class ControlClient : public test_support::FramedClient {
public:
    using FramedClient::send;
    bool send(uint32_t type, uint64_t id, const std::string& payload) {
        return FramedClient::send(type, id, std::vector<uint8_t>(payload.begin(), payload.end()));
    }

    // One request and its reply (the agent's replies carry no payload).
    std::optional<velantis::MessageHeader> request(uint32_t type, uint64_t id, const std::string& payload,
                                                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        if (!send(type, id, payload)) return std::nullopt;
        return readHeader(timeout);
    }
};

}  // namespace agent_rig
