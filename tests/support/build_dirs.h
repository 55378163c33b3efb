// Where the test programs find the source tree (res/, scripts, rig files) and the build tree
// (bin/, lib/, share/): VELANTIS_SOURCE_DIR and VELANTIS_BINARY_DIR as CTest sets them, else
// the trees this library was built from.
#pragma once

#include <string>

namespace test_support {

std::string sourceDir();
std::string binaryDir();

}  // namespace test_support
