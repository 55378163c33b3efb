#include "tests/support/build_dirs.h"

#include <cstdlib>

namespace test_support {

static std::string fromEnvironment(const char* name, const char* fallback) {
    const char* dir = std::getenv(name);
    return dir != nullptr && *dir != '\0' ? dir : fallback;
}

std::string sourceDir() { return fromEnvironment("VELANTIS_SOURCE_DIR", TEST_SUPPORT_SOURCE_DIR); }

std::string binaryDir() { return fromEnvironment("VELANTIS_BINARY_DIR", TEST_SUPPORT_BINARY_DIR); }

}  // namespace test_support
