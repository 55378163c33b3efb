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

namespace {

std::mutex out_mutex;

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(out_mutex);
    std::cout << "board: " << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> command;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--") {
            command.assign(argv + i + 1, argv + argc);
            break;
        }
        std::cerr << "usage: board_play [-- command args...]" << std::endl;
        return 2;
    }

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

    std::atomic<bool> done{false};
    // Reading touches only the read side of the board; writing goes straight to the master.
    std::thread reader([&] {
        while (!done) {
            if (auto frame = board.read_frame(std::chrono::milliseconds(20))) say("received " + board_rig::hex(*frame));
        }
    });

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string verb;
        if (!(in >> verb) || verb[0] == '#') continue;
        bool ok = true;
        if (verb == "wait-raw") {
            double seconds = 10;
            in >> seconds;
            ok = board.wait_raw(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
            say(ok ? "port ready" : "port was not set up in time");
            if (!ok) continue;
        } else if (verb == "handshake") {
            unsigned id = 0;
            in >> id;
            ok = board.write(board_rig::handshake(static_cast<uint16_t>(id)));
            say("sent handshake " + std::to_string(id));
        } else if (verb == "wakeup") {
            double angle = 0;
            int beam = 0;
            if (!(in >> angle >> beam)) {
                say("wakeup needs an angle and a beam");
                continue;
            }
            ok = board.write(board_rig::wakeup(angle, beam));
            say("sent wakeup " + board_rig::wakeup_json(angle, beam));
        } else if (verb == "device") {
            std::string json;
            std::getline(in >> std::ws, json);
            ok = board.write(board_rig::device_msg(json));
            say("sent device " + json);
        } else if (verb == "hex") {
            std::string text;
            std::getline(in, text);
            const board_rig::Bytes bytes = board_rig::from_hex(text);
            ok = board.write(bytes);
            say("sent " + board_rig::hex(bytes));
        } else if (verb == "sleep") {
            double seconds = 0;
            in >> seconds;
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        } else {
            say("unknown action: " + verb);
        }
        if (!ok) say("write failed");
    }

    if (child.pid() > 0) {
        child.signal(SIGTERM);
        if (child.wait(std::chrono::minutes(1)) < 0) child.kill();
    }
    done = true;
    reader.join();
    return child.exitCode().value_or(0);
}
