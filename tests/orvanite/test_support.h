// Helpers for the link's tests: the log file, temporary directories and child processes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/build_dirs.h"
#include "tests/support/temp_dir.h"

namespace orvanite_test {

using Clock = std::chrono::steady_clock;

struct LogLine {
    std::string stamp;  // "20261208 19:30:00.123"
    long tid = 0;
    char level = 0;
    std::string text;
};

// One line of the format "[%Y%m%d %H:%M:%S.%e] [tid %t] %L %v"; false when it is not one.
inline bool parse_log_line(const std::string& line, LogLine& out) {
    // [YYYYMMDD HH:MM:SS.mmm] = 23 characters
    if (line.size() < 23 + 7 || line[0] != '[' || line[22] != ']') return false;
    out.stamp = line.substr(1, 21);
    for (size_t i = 0; i < out.stamp.size(); ++i) {
        char c = out.stamp[i];
        bool ok = (i == 8) ? c == ' ' : (i == 11 || i == 14) ? c == ':' : (i == 17) ? c == '.' : (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    if (line.compare(23, 6, " [tid ") != 0) return false;
    size_t close = line.find("] ", 29);
    if (close == std::string::npos || close == 29) return false;
    for (size_t i = 29; i < close; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
    out.tid = std::stol(line.substr(29, close - 29));
    if (close + 3 > line.size() || line[close + 3] != ' ') return false;
    out.level = line[close + 2];
    out.text = line.substr(close + 4);
    return true;
}

class LogFile {
public:
    explicit LogFile(std::string path = "logs/basic-log.txt") : path_(std::move(path)) {}

    // Later reads see only what is written from now on.
    void mark() { offset_ = size(); }

    std::vector<LogLine> lines() const {
        std::vector<LogLine> out;
        std::ifstream in(path_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string line;
        while (std::getline(in, line)) {
            LogLine l;
            if (parse_log_line(line, l)) out.push_back(l);
        }
        return out;
    }

    std::string raw() const {
        std::ifstream in(path_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    size_t count(char level, const std::string& text) const {
        size_t n = 0;
        for (const auto& l : lines())
            if (l.level == level && l.text == text) ++n;
        return n;
    }
    bool has(char level, const std::string& text) const { return count(level, text) > 0; }
    bool has_prefix(char level, const std::string& prefix) const {
        for (const auto& l : lines())
            if (l.level == level && l.text.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    bool wait_for(char level, const std::string& text, std::chrono::milliseconds timeout) const {
        auto deadline = Clock::now() + timeout;
        while (!has(level, text)) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

private:
    size_t size() const {
        std::error_code ec;
        auto s = std::filesystem::file_size(path_, ec);
        return ec ? 0 : static_cast<size_t>(s);
    }
    std::string path_;
    size_t offset_ = 0;
};

class TempDir : public test_support::TempDir {
public:
    TempDir() : test_support::TempDir("orvanite-test") {}
};

// A program started with pipes on its standard streams, in a working directory of our choice.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& cwd) {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        // A program that died makes send fail rather than end the test.
        static const bool ignore_sigpipe = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
        (void)ignore_sigpipe;
        // Built before fork: the child may only exec.
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            if (chdir(cwd.c_str()) != 0) _exit(126);
            ::signal(SIGPIPE, SIG_DFL);
            execv(args[0], args.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        fcntl(out_, F_SETFL, O_NONBLOCK);
        fcntl(err_, F_SETFL, O_NONBLOCK);
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            int st;
            waitpid(pid_, &st, 0);
        }
        close_stdin();
        if (out_ >= 0) ::close(out_);
        if (err_ >= 0) ::close(err_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }

    bool send(const std::string& text) {
        return in_ >= 0 && ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void close_stdin() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
    }

    // Waits until standard output holds a line containing text.
    bool wait_stdout(const std::string& text, std::chrono::milliseconds timeout) {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            pump(10);
            if (out_buf_.find(text) != std::string::npos) return true;
            if (Clock::now() >= deadline) return false;
        }
    }

    // The exit status (as from waitpid), or -1 if the program is still running at the deadline.
    int wait(std::chrono::milliseconds timeout) {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            pump(10);
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                status_ = st;
                pump(0);
                return st;
            }
            if (Clock::now() >= deadline) return -1;
        }
    }

    const std::string& out() const { return out_buf_; }
    const std::string& err() const { return err_buf_; }

private:
    void pump(int timeout_ms) {
        pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        poll(p, 2, timeout_ms);
        char buf[4096];
        for (;;) {
            ssize_t n = out_ >= 0 ? ::read(out_, buf, sizeof buf) : -1;
            if (n <= 0) break;
            out_buf_.append(buf, static_cast<size_t>(n));
        }
        for (;;) {
            ssize_t n = err_ >= 0 ? ::read(err_, buf, sizeof buf) : -1;
            if (n <= 0) break;
            err_buf_.append(buf, static_cast<size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    bool exited_ = false;
    int status_ = 0;
    std::string out_buf_, err_buf_;
};

inline bool exited_ok(int status) { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// The build tree.
inline std::string binary_dir() { return test_support::binaryDir(); }

}  // namespace orvanite_test
