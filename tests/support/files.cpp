#include "tests/support/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

namespace test_support {

namespace {

void flushAll() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(stdout);
    std::fflush(stderr);
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) ++n;
    return n;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout, std::chrono::milliseconds every) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(every);
    }
    return true;
}

FdCapture::FdCapture(int fd, const std::string& path, bool echo) : fd_(fd), path_(path), echo_(echo) {
    flushAll();
    saved_ = ::dup(fd_);
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(out, fd_);
    ::close(out);
}

FdCapture::~FdCapture() { restore(); }

std::string FdCapture::text() {
    flushAll();
    return readFile(path_);
}

std::vector<std::string> FdCapture::lines() { return splitLines(text()); }

size_t countLines(const std::vector<std::string>& lines, const std::string& line) {
    size_t n = 0;
    for (const auto& l : lines) n += l == line ? 1 : 0;
    return n;
}

size_t FdCapture::count(const std::string& line) { return countLines(lines(), line); }

std::string FdCapture::take() {
    restore();
    return readFile(path_);
}

void FdCapture::restore() {
    if (saved_ < 0) return;
    flushAll();
    ::dup2(saved_, fd_);
    ::close(saved_);
    saved_ = -1;
    if (echo_) {
        const std::string captured = readFile(path_);
        if (!captured.empty() && ::write(fd_, captured.data(), captured.size()) < 0) return;
    }
}

}  // namespace test_support
