// A child process for tests, rigs and benchmarks: started with fork and exec, waited for
// with a deadline, killed (with its process group when it has one) by the destructor.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

struct ProcessOptions {
    std::vector<std::string> argv;  // argv[0] is the program's path
    std::vector<std::string> env;   // "NAME=value", replacing an inherited NAME
    std::string cwd;                // empty: ours
    std::string stdoutPath;         // empty: ours; "/dev/null" to drop it
    std::string stderrPath;         // empty: ours; the stdout path: one file for both
    bool stdinPipe = false;         // write to it with send(); otherwise /dev/null
    bool ownGroup = false;          // a process group of its own: signals reach everything it starts
};

class Process {
public:
    Process() = default;
    // Throws std::runtime_error when the process cannot be started.
    explicit Process(const ProcessOptions& options);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // False when fork fails (a failed exec ends the child with 127).
    bool start(const ProcessOptions& options);

    pid_t pid() const { return pid_; }
    // False once the process has ended (it is then reaped).
    bool running();
    // Sends `sig` to the process (to its group when it has one).
    void signal(int sig) const;
    // The exit code (128 + signal number when a signal ended it), or -1 when it still runs
    // after `timeout`.
    int wait(std::chrono::milliseconds timeout);
    // SIGKILL, then reaps it.
    void kill();
    // The exit code once ended.
    std::optional<int> exitCode() const { return exitCode_; }

    bool send(const std::string& text);
    void closeStdin();

    // What the process wrote to its stdout and stderr files so far.
    std::string out() const;
    std::string err() const;
    // Waits until the stdout file holds `text` `times` times.
    bool waitOutput(const std::string& text, std::chrono::milliseconds timeout, size_t times = 1) const;

private:
    bool reap(int flags);

    ProcessOptions options_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    std::optional<int> exitCode_;
};

// Runs argv to its end, its output dropped: its exit code, or -1 when it does not end within
// `timeout` (it is then killed).
int runQuietly(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace test_support
