// Reading what programs wrote, and waiting for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace test_support {

// The whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// The lines of `text`, without their ends.
std::vector<std::string> splitLines(const std::string& text);
// Number of times `needle` occurs in `text`.
size_t countOf(const std::string& text, const std::string& needle);
// Number of entries of `lines` equal to `line`.
size_t countLines(const std::vector<std::string>& lines, const std::string& line);
// Polls `done` every `every` until it holds or `timeout` has passed.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds every = std::chrono::milliseconds(10));

// Redirects a file descriptor (1 or 2) into a file while it lives. With `echo`, restore()
// writes what was captured to the descriptor again, so that failures stay readable.
class FdCapture {
public:
    FdCapture(int fd, const std::string& path, bool echo = false);
    ~FdCapture();
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    // What arrived so far.
    std::string text();
    std::vector<std::string> lines();
    // Lines equal to `line`.
    size_t count(const std::string& line);
    void restore();
    // Restores the descriptor and returns what was captured.
    std::string take();

private:
    int fd_;
    std::string path_;
    bool echo_;
    int saved_ = -1;
};

}  // namespace test_support
