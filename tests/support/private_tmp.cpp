#include "tests/support/private_tmp.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/support/process.h"

namespace test_support {

namespace fs = std::filesystem;

namespace {

bool fail(std::string* error, const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return false;
}

// The paths among `paths` that lie under /tmp, outermost only.
std::vector<std::string> underTmp(const std::vector<std::string>& paths) {
    std::vector<std::string> found;
    for (const auto& p : paths) {
        std::error_code ec;
        const std::string path = fs::weakly_canonical(p, ec).string();
        if (!ec && path.rfind("/tmp/", 0) == 0) found.push_back(path);
    }
    std::sort(found.begin(), found.end());  // an outer path before those inside it
    std::vector<std::string> outer;
    for (const auto& path : found) {
        auto inside = [&](const std::string& o) { return path == o || path.rfind(o + "/", 0) == 0; };
        if (std::none_of(outer.begin(), outer.end(), inside)) outer.push_back(path);
    }
    return outer;
}

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream f(path);
    return static_cast<bool>(f << text << std::flush);
}

// A mount namespace of our own: as root directly, otherwise inside a user namespace that maps us to root.
bool unshareMounts(std::string* error, bool* denied) {
    if (::unshare(CLONE_NEWNS) == 0) return true;
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && writeText("/proc/self/setgroups", "deny") &&
        writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
        writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
        return true;
    if (denied) *denied = true;
    return fail(error, "no private mount namespace (needs root)");
}

bool bindFd(int fd, const std::string& to, bool directory, std::string* error) {
    std::error_code ec;
    if (directory) {
        fs::create_directories(to, ec);
    } else if (!fs::exists(to, ec)) {
        fs::create_directories(fs::path(to).parent_path(), ec);
        std::ofstream{to};
    }
    const std::string from = "/proc/self/fd/" + std::to_string(fd);
    if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return fail(error, "bind mount onto " + to);
    return true;
}

// "/dev/ttyACM0" as a link to `pty`, in an overlay of /dev whose scratch space is a tmpfs
// over /tmp for as long as it is set up.
bool fakeTtyacm0(const std::string& pty, std::string* error) {
    struct stat st {};
    if (::stat(pty.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        errno = ENODEV;
        return fail(error, pty + " is not a character device");
    }
    if (::mount("board-rig", "/tmp", "tmpfs", 0, "mode=0700,size=1m") != 0) return fail(error, "tmpfs for /dev");
    for (const char* d : {"/tmp/upper", "/tmp/work", "/tmp/dev"}) ::mkdir(d, 0700);
    if (::mount("board-rig", "/tmp/dev", "overlay", 0, "lowerdir=/dev,upperdir=/tmp/upper,workdir=/tmp/work") != 0)
        return fail(error, "overlay of /dev");
    struct stat dev {};
    ::stat("/dev", &dev);
    for (const char* sub : {"pts", "shm", "mqueue"}) {
        const std::string from = std::string("/dev/") + sub;
        struct stat s {};
        // Only file systems mounted there: their content is not in the overlay.
        if (::stat(from.c_str(), &s) != 0 || s.st_dev == dev.st_dev) continue;
        if (::mount(from.c_str(), ("/tmp/dev/" + std::string(sub)).c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return fail(error, "bind " + from);
    }
    // The link leads to the terminal itself, bound onto a file, not to its /dev/pts name: once
    // the board is gone that opens nothing (EIO), while the freed number may already belong to
    // another test's terminal, which a program left behind would flush and read from.
    const int pin = ::open("/tmp/dev/ttyACM0.board", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (pin < 0) return fail(error, "file for the board's terminal");
    ::close(pin);
    if (::mount(pty.c_str(), "/tmp/dev/ttyACM0.board", nullptr, MS_BIND, nullptr) != 0)
        return fail(error, "bind " + pty);
    ::unlink("/tmp/dev/ttyACM0");
    if (::symlink("/dev/ttyACM0.board", "/tmp/dev/ttyACM0") != 0) return fail(error, "link /dev/ttyACM0");
    if (::mount("/tmp/dev", "/dev", nullptr, MS_MOVE, nullptr) != 0) return fail(error, "move the overlay onto /dev");
    if (::umount2("/tmp", MNT_DETACH) != 0) return fail(error, "unmount the scratch /tmp");
    return true;
}

}  // namespace

bool enterPrivateTmp(const PrivateTmp& p, std::string* error, bool* denied) {
    if (denied) *denied = false;
    if (!unshareMounts(error, denied)) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail(error, "private propagation");

    // Everything to be seen again is opened first: the mounts below hide the old /tmp.
    struct Bind {
        int fd;
        std::string to;
        bool directory;
    };
    std::vector<Bind> binds;
    auto open = [&](const std::string& from, const std::string& to) {
        const int fd = ::open(from.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0) return fail(error, "open " + from);
        binds.push_back({fd, to, fs::is_directory(from)});
        return true;
    };
    // The new /tmp first (given, or a tmpfs below), then what is seen again inside it.
    bool ok = !p.privateTmp || p.tmpDir.empty() || open(p.tmpDir, "/tmp");
    if (p.privateTmp) {
        for (const auto& path : underTmp(p.keep)) ok = ok && open(path, path);
        for (const auto& b : p.binds) ok = ok && open(b.first, b.second);
    }

    ok = ok && (p.ttyacm0.empty() || fakeTtyacm0(p.ttyacm0, error));
    if (ok && p.privateTmp && p.tmpDir.empty() &&
        ::mount("velantis-tmp", "/tmp", "tmpfs", 0, "mode=1777,size=64m") != 0)
        ok = fail(error, "tmpfs on /tmp");
    for (const auto& b : binds) {
        ok = ok && bindFd(b.fd, b.to, b.directory, error);
        ::close(b.fd);
    }
    return ok;
}

std::vector<std::string> privateTmpCommand(const PrivateTmp& p, const std::vector<std::string>& argv) {
    std::vector<std::string> cmd{binaryDir() + "/bin/private_tmp"};
    if (p.privateTmp && p.tmpDir.empty()) cmd.push_back("--tmpfs");
    if (p.privateTmp && !p.tmpDir.empty()) cmd.insert(cmd.end(), {"--tmp", p.tmpDir});
    for (const auto& k : p.keep) cmd.insert(cmd.end(), {"--keep", k});
    for (const auto& b : p.binds) cmd.insert(cmd.end(), {"--bind", b.first + ":" + b.second});
    if (!p.ttyacm0.empty()) cmd.insert(cmd.end(), {"--ttyacm0", p.ttyacm0});
    cmd.push_back("--");
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    return cmd;
}

bool canFakeTtyacm0() {
    // Tried once for real: root alone is not enough without CAP_SYS_ADMIN or overlayfs.
    static const bool works = [] {
        if (::geteuid() != 0) return false;
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0) return false;
        const char* slave = ::grantpt(master) == 0 && ::unlockpt(master) == 0 ? ::ptsname(master) : nullptr;
        PrivateTmp p;
        p.privateTmp = false;
        p.ttyacm0 = slave ? slave : "";
        const bool ok = slave && runQuietly(privateTmpCommand(p, {"/bin/sh", "-c", "test -L /dev/ttyACM0"})) == 0;
        ::close(master);
        return ok;
    }();
    return works;
}

}  // namespace test_support
