#include "tests/support/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace test_support {

std::string makeTempDir(const std::string& prefix, const std::string& parent) {
    const std::string pattern = parent + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    return buf.data();
}

TempDir::TempDir(const std::string& prefix, const std::string& parent) : path_(makeTempDir(prefix, parent)) {}

TempDir::~TempDir() {
    std::error_code ec;
    if (!keep_) std::filesystem::remove_all(path_, ec);
}

}  // namespace test_support
