// Runs the agent program as a separate process for tests and the demo: a temporary working
// directory holding res/ and getting logs/, a private "/tmp" (the agent socket appears in
// AgentProcess::tmpDir()), and its own "/dev/ttyACM0" pointing at a pseudo-terminal.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/unix_domain_socket_server.h"
#include "tests/support/build_dirs.h"
#include "tests/support/files.h"
#include "tests/support/framed_client.h"
#include "tests/support/temp_dir.h"

namespace agent_rig {

using test_support::binaryDir;
using test_support::countOf;
using test_support::readFile;
using test_support::sourceDir;
using test_support::waitUntil;

inline bool isRoot() { return ::geteuid() == 0; }

// VmRSS of a process in KiB, -1 when it cannot be read.
inline long residentKiB(pid_t pid) {
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("\nVmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 7, nullptr, 10);
}

// A directory under /var/tmp, removed with everything in it unless kept. Not under /tmp:
// the agent gets a private /tmp, and files that it must see (sounds in, speaker out,
// configuration) live here.
class TempDir : public test_support::TempDir {
public:
    explicit TempDir(const std::string& prefix = "agent-rig") : test_support::TempDir(prefix, "/var/tmp") {}
};

// The directories among `dirs` that lie under /tmp, outermost only: the agent's private /tmp
// would hide them, so they are mounted back inside it at their paths.
inline std::vector<std::string> underTmp(const std::vector<std::string>& dirs) {
    std::vector<std::string> found;
    for (const auto& dir : dirs) {
        std::error_code ec;
        std::string path = std::filesystem::weakly_canonical(dir, ec).string();
        if (ec || path.rfind("/tmp/", 0) != 0) continue;
        found.push_back(path);
    }
    std::vector<std::string> outer;
    for (const auto& path : found) {
        bool inner = false;
        for (const auto& other : found)
            if (other != path && path.rfind(other + "/", 0) == 0) inner = true;
        if (!inner && std::find(outer.begin(), outer.end(), path) == outer.end()) outer.push_back(path);
    }
    return outer;
}

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
    AgentProcess() : dir_("agent-run") {}
    ~AgentProcess() { kill(); }
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    bool start(const AgentOptions& opt) {
        namespace fs = std::filesystem;
        if (dir_.path().empty()) return false;
        work_ = dir_.path() + "/work";
        tmp_ = dir_.path() + "/tmp";
        std::error_code ec;
        fs::create_directories(work_, ec);
        fs::create_directories(tmp_, ec);
        fs::create_symlink(opt.resDir.empty() ? sourceDir() + "/res" : opt.resDir, work_ + "/res", ec);
        if (ec) return false;
        if (opt.prepareTmp) opt.prepareTmp(tmp_);
        std::string runner = sourceDir() + "/tests/rig/board/with-ttyacm0";
        std::string out = stdoutPath(), err = stderrPath();

        // Everything the child needs is built before fork: it only makes system calls until exec.
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e) {
            std::string kv = *e;
            bool replaced = false;
            for (const auto& extra : opt.env)
                if (kv.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0) replaced = true;
            if (!replaced) envStore.push_back(kv);
        }
        envStore.insert(envStore.end(), opt.env.begin(), opt.env.end());
        std::vector<char*> envp;
        for (auto& kv : envStore) envp.push_back(&kv[0]);
        envp.push_back(nullptr);
        // The private /tmp, with the trees the agent runs from (program, libraries, sounds,
        // test devices) mounted back at their paths when they lie under /tmp.
        const char* script =
            "t=$1; shift; "
            "while [ \"$1\" != -- ]; do mkdir -p \"$t${1#/tmp}\" && mount --bind \"$1\" \"$t${1#/tmp}\" || exit 1; "
            "shift; done; shift; mount --rbind \"$t\" /tmp && exec \"$@\"";
        const std::vector<std::string> keep = underTmp(
            {sourceDir(), binaryDir(), fs::path(opt.program).parent_path().string(), work_ + "/res"});
        std::vector<const char*> argv{"sh",   runner.c_str(), opt.ttySlave.c_str(), "/bin/sh", "-c",
                                      script, "sh",           tmp_.c_str()};
        for (const auto& dir : keep) argv.push_back(dir.c_str());
        argv.insert(argv.end(), {"--", opt.program.c_str(), nullptr});

        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int in = ::open("/dev/null", O_RDONLY);
            if (o < 0 || e < 0 || in < 0 || ::chdir(work_.c_str()) != 0) ::_exit(127);
            ::dup2(in, 0);
            ::dup2(o, 1);
            ::dup2(e, 2);
            ::setpgid(0, 0);
            ::execve("/bin/sh", const_cast<char* const*>(argv.data()), envp.data());
            ::_exit(127);
        }
        return true;
    }

    // Leaves the working directory (log, standard output and error) behind.
    void keep() { dir_.keep(); }

    // Kills the agent (it has no orderly shutdown) and reaps it.
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    // True while the process runs; false once it has ended (its status is then kept).
    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exitStatus_ = status;
            pid_ = -1;
            return false;
        }
        return true;
    }
    std::optional<int> exitStatus() const { return exitStatus_; }

    pid_t pid() const { return pid_; }
    const std::string& workDir() const { return work_; }
    const std::string& tmpDir() const { return tmp_; }
    std::string socketPath() const { return tmp_ + "/velantis_agent.sock"; }
    std::string stdoutPath() const { return dir_.path() + "/stdout.txt"; }
    std::string stderrPath() const { return dir_.path() + "/stderr.txt"; }
    std::string logPath() const { return work_ + "/logs/basic-log.txt"; }
    std::string output() const { return readFile(stdoutPath()); }
    std::string errors() const { return readFile(stderrPath()); }
    std::string log() const { return readFile(logPath()); }

    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout, size_t times = 1) {
        return waitUntil([&] { return countOf(log(), text) >= times; }, timeout);
    }
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout, size_t times = 1) {
        return waitUntil([&] { return countOf(output(), text) >= times; }, timeout);
    }

private:
    TempDir dir_;
    std::string work_, tmp_;
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
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
    // Connects, retrying until the socket accepts or the time is up.
    bool connect(const std::string& path, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return FramedClient::connect(path, timeout);
    }

    using FramedClient::send;
    bool send(uint32_t type, uint64_t id, const std::string& payload) {
        return FramedClient::send(type, id, std::vector<uint8_t>(payload.begin(), payload.end()));
    }

    // The next message's header (its payload is skipped), or nothing within `timeout`.
    std::optional<velantis::MessageHeader> receive(std::chrono::milliseconds timeout) {
        auto message = readMessage(timeout);
        if (!message) return std::nullopt;
        return message->first;
    }

    // One request and its reply.
    std::optional<velantis::MessageHeader> request(uint32_t type, uint64_t id, const std::string& payload,
                                                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        if (!send(type, id, payload)) return std::nullopt;
        return receive(timeout);
    }
};

}  // namespace agent_rig
