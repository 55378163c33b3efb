// The cloud's text messages into the agent's message handler, with the simulated robot
// underneath (its delays made short).
#include "agent/ws_controller.h"

#include "fuzz/fuzz_common.h"

namespace {

// One controller (and robot worker) for the whole run.
velantis::ws_controller* g_controller = nullptr;

// The run may end while the robot's worker is in a task that logs: end the worker first.
// The process's logger was made before this is registered, so it is destroyed after.
void destroyController() {
    delete g_controller;
    g_controller = nullptr;
}

// Commands queue on the robot's worker, which sleeps a second or more for some of them:
// inputs with long command lists only go through the parser, or the queue would grow
// faster than the worker empties it.
constexpr size_t kMaxSeparators = 8;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quickSimRobot(true);
    fuzz::silenceOutput();
    g_controller = new velantis::ws_controller();
    std::atexit(destroyController);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::asText(data, size);
    // The command-list parser on its own, on any bytes.
    size_t separators = 0;
    for (char c : text) separators += c == ';';
    const auto commands = velantis::parseCommandList(text);
    if (commands.size() > separators + 1) __builtin_trap();
    for (const auto& command : commands)
        if (command.first.find(';') != std::string::npos) __builtin_trap();

    if (separators <= kMaxSeparators) g_controller->onTextMessage(text);
    return 0;
}
