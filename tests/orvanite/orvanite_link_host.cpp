// A program with the agent's logger definition that links liborvanite, like tavrin_agent.
// "orvanite_link_host probe" logs a line, reports whether it is on disk and sends without a link.
// Otherwise it runs the link, driven line by line on standard input ("send <text>", "init2",
// "log", "exit"), and reports on standard output.
#include "orvanite/orvanite.h"

#include "common/log_utils.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // every report goes out whole at once
    if (argc > 1 && std::string(argv[1]) == "probe") {
        logF->logger->info("probe info line");
        logF->logger->debug("probe debug line");
        std::ifstream in("logs/basic-log.txt");
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (text.find("probe info line") != std::string::npos) std::printf("flushed\n");
        orvanite::send_orvanite_str("probe");
        std::printf("probe done\n");
        return 0;
    }
    std::thread([] {
        orvanite::init_orvanite([](double angle, int beam) { std::printf("wakeup %g %d\n", angle, beam); });
        std::printf("init returned\n");
    }).detach();
    std::printf("ready\n");

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("send ", 0) == 0) {
            std::printf("sent %d\n", orvanite::send_orvanite_str(line.substr(5)) ? 1 : 0);
        } else if (line == "init2") {
            orvanite::init_orvanite(nullptr);
            std::printf("init2 returned\n");
        } else if (line == "log") {
            logF->logger->info("host still logging");
            std::printf("logged\n");
        } else if (line == "exit") {
            break;
        }
    }
    // Leaves while the link thread is still inside its loop.
    return 0;
}
