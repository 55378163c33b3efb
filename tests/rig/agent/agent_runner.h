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

#include "unix_domain_socket_server.h"

namespace agent_rig {

inline std::string sourceDir() {
    const char* dir = std::getenv("VELANTIS_SOURCE_DIR");
#ifdef AGENT_RIG_SOURCE_DIR
    if (!dir || !*dir) dir = AGENT_RIG_SOURCE_DIR;
#endif
    return dir ? dir : ".";
}

inline std::string binaryDir() {
    const char* dir = std::getenv("VELANTIS_BINARY_DIR");
#ifdef AGENT_RIG_BINARY_DIR
    if (!dir || !*dir) dir = AGENT_RIG_BINARY_DIR;
#endif
    return dir ? dir : ".";
}

inline bool isRoot() { return ::geteuid() == 0; }

inline std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// VmRSS of a process in KiB, -1 when it cannot be read.
inline long residentKiB(pid_t pid) {
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("\nVmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 7, nullptr, 10);
}

// Polls `done` every 10 ms until it holds or `timeout` has passed.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Number of times `needle` occurs in `text`.
inline size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) ++n;
    return n;
}

// A directory under /var/tmp, removed with everything in it unless kept. Not under /tmp:
// the agent gets a private /tmp, and files that it must see (sounds in, speaker out,
// configuration) live here.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "agent-rig") {
        std::string templ = "/var/tmp/" + prefix + "-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data())) path_ = buf.data();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty() && !keep_) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    void keep() { keep_ = true; }

private:
    std::string path_;
    bool keep_ = false;
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
class ControlClient {
public:
    ~ControlClient() { close(); }

    // Connects, retrying until the socket accepts or the time is up.
    bool connect(const std::string& path, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitUntil(
            [&] {
                close();
                fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_un addr{};
                addr.sun_family = AF_UNIX;
                std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
                return ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
            },
            timeout);
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool send(uint32_t type, uint64_t id, const std::string& payload) {
        velantis::MessageHeader h{};
        h.type = type;
        h.length = static_cast<uint32_t>(payload.size());
        h.timestamp = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count());
        h.id = id;
        std::string bytes(reinterpret_cast<const char*>(&h), sizeof(h));
        bytes += payload;
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // The next message's header (its payload is skipped), or nothing within `timeout`.
    std::optional<velantis::MessageHeader> receive(std::chrono::milliseconds timeout) {
        velantis::MessageHeader h{};
        if (!readExact(&h, sizeof(h), timeout)) return std::nullopt;
        std::vector<char> rest(h.length);
        if (h.length && !readExact(rest.data(), rest.size(), timeout)) return std::nullopt;
        return h;
    }

    // One request and its reply.
    std::optional<velantis::MessageHeader> request(uint32_t type, uint64_t id, const std::string& payload,
                                                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        if (!send(type, id, payload)) return std::nullopt;
        return receive(timeout);
    }

    int fd() const { return fd_; }

private:
    bool readExact(void* buf, size_t n, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        char* p = static_cast<char*>(buf);
        size_t got = 0;
        while (got < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd pfd{fd_, POLLIN, 0};
            int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            ssize_t k = ::recv(fd_, p + got, n - got, 0);
            if (k <= 0) return false;
            got += static_cast<size_t>(k);
        }
        return true;
    }

    int fd_ = -1;
};

}  // namespace agent_rig
