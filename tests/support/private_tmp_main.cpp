// Runs a command in a private mount namespace (see private_tmp.h). The command replaces this
// program: same process id, its exit status is ours.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include "tests/support/private_tmp.h"

int main(int argc, char** argv) try {
    test_support::PrivateTmp p;
    p.privateTmp = false;
    std::string cwd;
    int i = 1;
    auto value = [&](const std::string& option) -> std::string {
        if (i + 1 >= argc) throw std::invalid_argument(option + " needs a value");
        return argv[++i];
    };
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string opt = argv[i];
        if (opt == "--tmpfs" || opt == "--tmp") {
            p.privateTmp = true;
            if (opt == "--tmp") p.tmpDir = value(opt);
        } else if (opt == "--keep") {
            p.keep.push_back(value(opt));
        } else if (opt == "--bind") {
            const std::string b = value(opt);
            const size_t colon = b.find(':');
            if (colon == std::string::npos) throw std::invalid_argument("--bind needs FROM:TO");
            p.binds.emplace_back(b.substr(0, colon), b.substr(colon + 1));
        } else if (opt == "--ttyacm0") {
            p.ttyacm0 = value(opt);
        } else if (opt == "--chdir") {
            cwd = value(opt);
        } else {
            throw std::invalid_argument("unknown option " + opt);
        }
    }
    if (i + 1 >= argc) throw std::invalid_argument("no command");
    std::string error;
    bool denied = false;
    if (!test_support::enterPrivateTmp(p, &error, &denied)) {
        std::cerr << "private_tmp: " << error << std::endl;
        return denied ? 77 : 1;
    }
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
        std::cerr << "private_tmp: cannot enter " << cwd << std::endl;
        return 1;
    }
    ::execvp(argv[i + 1], argv + i + 1);
    std::cerr << "private_tmp: cannot run " << argv[i + 1] << ": " << std::strerror(errno) << std::endl;
    return 127;
} catch (const std::invalid_argument& e) {
    std::cerr << "private_tmp: " << e.what()
              << "\nusage: private_tmp [--tmpfs | --tmp DIR] [--keep PATH]... [--bind FROM:TO]... "
                 "[--ttyacm0 PTY] [--chdir DIR] -- command args..."
              << std::endl;
    return 2;
} catch (...) {
    std::cerr << "private_tmp: failed" << std::endl;
    return 1;
}
