#include "tests/support/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

namespace test_support {

namespace {

void flushAll() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
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
    return std::count(lines.begin(), lines.end(), line);
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
    const std::string captured = echo_ ? readFile(path_) : "";
    if (!captured.empty() && ::write(fd_, captured.data(), captured.size()) < 0) return;
}

}  // namespace test_support
