// Plays the microphone-array board for scripts from actions read on standard input, optionally
// running a command with "/dev/ttyACM0" linked to it (README.md).
//   board_play [-- command args...]
#include "tests/rig/board/board_rig.h"

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/support/process.h"

static void say(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::cout << "board: " << line << std::endl;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) != "--") {
        std::cerr << "usage: board_play [-- command args...]" << std::endl;
        return 2;
    }
    const std::vector<std::string> command(argv + std::min(argc, 2), argv + argc);

    board_rig::PtyBoard board;
    say("slave " + board.slave_path());
    // A process group of its own, so that the end reaches everything it started.
    test_support::Process child;
    if (!command.empty()) {
        if (!test_support::canFakeTtyacm0()) {
            std::cerr << "board_play: needs root to give the command its own /dev/ttyACM0" << std::endl;
            return 77;
        }
        test_support::ProcessOptions options;
        options.argv = board_rig::ttyacm0_command(board.slave_path(), command);
        options.ownGroup = true;
        if (!child.start(options)) {
            std::perror("board_play: fork");
            return 1;
        }
    }

    std::atomic<bool> done{false};  // the reader touches only the read side of the board
    std::thread reader([&] {
        while (!done) {
            if (auto frame = board.read_frame(std::chrono::milliseconds(20))) say("received " + board_rig::hex(*frame));
        }
    });

    auto send = [&](const board_rig::Bytes& bytes, const std::string& what) {
        const bool ok = board.write(bytes);
        say("sent " + what);
        if (!ok) say("write failed");
    };
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string verb, text;
        if (!(in >> verb) || verb[0] == '#') continue;
        double number = verb == "wait-raw" ? 10 : 0;
        if (verb == "wait-raw" || verb == "sleep") in >> number;
        const auto seconds = std::chrono::duration<double>(number);
        if (verb == "wait-raw") {
            const bool ok = board.wait_raw(std::chrono::duration_cast<std::chrono::milliseconds>(seconds));
            say(ok ? "port ready" : "port was not set up in time");
        } else if (verb == "sleep") {
            std::this_thread::sleep_for(seconds);
        } else if (verb == "handshake") {
            unsigned id = 0;
            in >> id;
            send(board_rig::handshake(static_cast<uint16_t>(id)), "handshake " + std::to_string(id));
        } else if (verb == "wakeup") {
            double angle = 0;
            int beam = 0;
            if (in >> angle >> beam)
                send(board_rig::wakeup(angle, beam), "wakeup " + board_rig::wakeup_json(angle, beam));
            else
                say("wakeup needs an angle and a beam");
        } else if (verb == "device" || verb == "hex") {
            std::getline(in >> std::ws, text);
            const auto bytes = verb == "hex" ? board_rig::from_hex(text) : board_rig::device_msg(text);
            send(bytes, verb == "hex" ? board_rig::hex(bytes) : "device " + text);
        } else {
            say("unknown action: " + verb);
        }
    }

    if (child.pid() > 0) {
        child.signal(SIGTERM);
        if (child.wait(std::chrono::minutes(1)) < 0) child.kill();
    }
    done = true;
    reader.join();
    return child.exitCode().value_or(0);
}
