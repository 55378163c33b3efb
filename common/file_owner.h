// The owner of a file, for log lines about files that another user left behind.
#pragma once

#include <pwd.h>
#include <sys/stat.h>

#include <string>
#include <vector>

// The owner's user name, "uid N" when the user has no name, "unknown" when the file
// cannot be examined. A link is not followed.
inline std::string fileOwner(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "unknown";
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(st.st_uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->pw_name;
    return "uid " + std::to_string(st.st_uid);
}
