// Temporary directories for tests, rigs and benchmarks.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace test_support {

// A fresh directory "<parent>/<prefix>-XXXXXX" that the caller removes; throws
// std::runtime_error when none can be made.
inline std::string makeTempDir(const std::string& prefix, const std::string& parent = "/tmp") {
    std::string path = parent + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(&path[0]) == nullptr) throw std::runtime_error("mkdtemp " + path + ": " + std::strerror(errno));
    return path;
}

// A fresh directory, removed with everything in it unless kept.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "velantis-test", const std::string& parent = "/tmp")
        : path_(makeTempDir(prefix, parent)) {}
    ~TempDir() {
        std::error_code ec;
        if (!keep_) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string operator/(const std::string& name) const { return file(name); }
    void keep() { keep_ = true; }

private:
    std::string path_;
    bool keep_ = false;
};

}  // namespace test_support
