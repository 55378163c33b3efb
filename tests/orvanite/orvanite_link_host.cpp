// A program that runs the link through liborvanite's interface, driven line by line on
// standard input: "send <text>", "init2", "exit". It reports on standard output.
#include "orvanite/orvanite.h"

#include "common/log_utils.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

int main() {
    std::thread([] {
        orvanite::init_orvanite([](double angle, int beam) {
            std::printf("wakeup %g %d\n", angle, beam);
            std::fflush(stdout);
        });
        std::printf("init returned\n");
        std::fflush(stdout);
    }).detach();
    std::printf("ready\n");
    std::fflush(stdout);

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("send ", 0) == 0) {
            bool ok = orvanite::send_orvanite_str(line.substr(5));
            std::printf("sent %d\n", ok ? 1 : 0);
        } else if (line == "init2") {
            orvanite::init_orvanite(nullptr);
            std::printf("init2 returned\n");
        } else if (line == "log") {
            logF->logger->info("host still logging");
            std::printf("logged\n");
        } else if (line == "exit") {
            break;
        }
        std::fflush(stdout);
    }
    // Leaves while the link thread is still inside its loop.
    return 0;
}
