// The smallest host of the installed service library: asks the agent to start recording
// and to stop again, through velantis::runTavrinAgent and velantis::stopTavrinAgent.
// Exit status 0 when both were answered.
#include <iostream>

#include <velantis/agent_service/velantis_agent_service.h>

int main() {
    const bool started = velantis::runTavrinAgent();
    std::cout << (started ? "AGENT_START answered" : "AGENT_START not answered") << std::endl;
    const bool stopped = velantis::stopTavrinAgent();
    std::cout << (stopped ? "AGENT_STOP answered" : "AGENT_STOP not answered") << std::endl;
    return started && stopped ? 0 : 1;
}
