#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <stdexcept>

#include "tests/support/files.h"

extern char** environ;

namespace test_support {

namespace {

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=') + 1); }

// Our environment with `extra` replacing entries of the same names.
std::vector<std::string> environment(const std::vector<std::string>& extra) {
    std::vector<std::string> all;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (std::none_of(extra.begin(), extra.end(), [&](const auto& x) { return nameOf(x) == nameOf(entry); }))
            all.push_back(entry);
    }
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(&s[0]);
    out.push_back(nullptr);
    return out;
}

int codeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// Opens `path` onto `fd` in the child; empty leaves the descriptor as it is.
bool redirect(const char* path, int fd, int flags) {
    if (*path == '\0') return true;
    const int f = ::open(path, flags, 0644);
    if (f < 0 || f == fd) return f >= 0;
    const bool ok = ::dup2(f, fd) == fd;
    ::close(f);
    return ok;
}

}  // namespace

Process::Process(const ProcessOptions& options) {
    if (!start(options)) throw std::runtime_error("cannot start " + (options.argv.empty() ? "" : options.argv[0]));
}

Process::~Process() {
    kill();
    closeStdin();
}

bool Process::start(const ProcessOptions& options) {
    if (options.argv.empty() || pid_ > 0) return false;
    options_ = options;
    exitCode_.reset();
    // A program that died makes send() fail rather than end the caller.
    static const bool ignoreSigpipe = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)ignoreSigpipe;
    // Everything the child needs is built before fork: it only makes system calls until exec.
    std::vector<std::string> argStore = options.argv, envStore = environment(options.env);
    std::vector<char*> argv = pointers(argStore), envp = pointers(envStore);
    const bool sameFile = !options.stdoutPath.empty() && options.stdoutPath == options.stderrPath;
    int in[2] = {-1, -1};
    if (options.stdinPipe && ::pipe2(in, O_CLOEXEC) != 0) return false;

    pid_ = ::fork();
    if (pid_ < 0) {
        if (in[0] >= 0) ::close(in[0]), ::close(in[1]);
        return false;
    }
    if (pid_ == 0) {
        // Ends with the test that started it, even when that one is killed: a program left
        // behind would keep reopening its "/dev/ttyACM0" and read another test's terminal.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (options.ownGroup) ::setpgid(0, 0);
        bool ok = in[0] >= 0 ? ::dup2(in[0], 0) == 0 : redirect("/dev/null", 0, O_RDONLY);
        ok = ok && redirect(options.stdoutPath.c_str(), 1, O_WRONLY | O_CREAT | O_TRUNC);
        ok = ok &&
             (sameFile ? ::dup2(1, 2) == 2 : redirect(options.stderrPath.c_str(), 2, O_WRONLY | O_CREAT | O_TRUNC));
        ok = ok && (options.cwd.empty() || ::chdir(options.cwd.c_str()) == 0);
        ::signal(SIGPIPE, SIG_DFL);
        if (ok) ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    // Also from here, so that the group exists before an early signal reaches it.
    if (options.ownGroup) ::setpgid(pid_, pid_);
    if (in[0] >= 0) {
        ::close(in[0]);
        stdin_ = in[1];
    }
    return true;
}

bool Process::reap(int flags) {
    if (pid_ <= 0) return true;
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid_, &status, flags);
    while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    exitCode_ = r == pid_ ? codeOf(status) : -1;
    pid_ = -1;
    return true;
}

bool Process::running() { return !reap(WNOHANG); }

void Process::signal(int sig) const {
    if (pid_ > 0) ::kill(options_.ownGroup ? -pid_ : pid_, sig);
}

int Process::wait(std::chrono::milliseconds timeout) {
    if (!waitUntil([&] { return reap(WNOHANG); }, timeout)) return -1;
    return exitCode_.value_or(-1);
}

void Process::kill() {
    if (pid_ <= 0) return;
    signal(SIGKILL);
    reap(0);
}

bool Process::send(const std::string& text) {
    return stdin_ >= 0 && ::write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void Process::closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
}

std::string Process::out() const { return readFile(options_.stdoutPath); }

std::string Process::err() const { return readFile(options_.stderrPath); }

bool Process::waitOutput(const std::string& text, std::chrono::milliseconds timeout, size_t times) const {
    return waitUntil([&] { return countOf(out(), text) >= times; }, timeout);
}

int runQuietly(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    Process p;
    return p.start({argv, {}, "", "/dev/null", "/dev/null"}) ? p.wait(timeout) : -1;
}

}  // namespace test_support
