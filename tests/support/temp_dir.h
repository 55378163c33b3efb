// Temporary directories for tests, rigs and benchmarks.
#pragma once

#include <string>

namespace test_support {

// A fresh directory "<parent>/<prefix>-XXXXXX" that the caller removes; throws
// std::runtime_error when none can be made.
std::string makeTempDir(const std::string& prefix, const std::string& parent = "/tmp");

// A fresh directory, removed with everything in it unless kept.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "velantis-test", const std::string& parent = "/tmp");
    ~TempDir();
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
