// Carries the agent's logger definition and links liborvanite, like tavrin_agent.
#include "orvanite/orvanite.h"

#include "common/log_utils.h"

#include <fstream>
#include <iostream>
#include <sstream>

int main() {
    logF->logger->info("probe info line");
    logF->logger->debug("probe debug line");
    std::ifstream in("logs/basic-log.txt");
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().find("probe info line") != std::string::npos) std::cout << "flushed" << std::endl;
    orvanite::send_orvanite_str("probe");
    std::cout << "probe done" << std::endl;
    return 0;
}
