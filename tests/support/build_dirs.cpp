#include "tests/support/build_dirs.h"

#include <cstdlib>

#if !defined(TEST_SUPPORT_SOURCE_DIR) || !defined(TEST_SUPPORT_BINARY_DIR)
#error "TEST_SUPPORT_SOURCE_DIR and TEST_SUPPORT_BINARY_DIR must name the trees (see tests/support/CMakeLists.txt)"
#endif

namespace test_support {

namespace {

std::string fromEnvironment(const char* name, const char* fallback) {
    const char* dir = std::getenv(name);
    return dir != nullptr && *dir != '\0' ? dir : fallback;
}

}  // namespace

std::string sourceDir() { return fromEnvironment("VELANTIS_SOURCE_DIR", TEST_SUPPORT_SOURCE_DIR); }

std::string binaryDir() { return fromEnvironment("VELANTIS_BINARY_DIR", TEST_SUPPORT_BINARY_DIR); }

}  // namespace test_support
