// The microphone-array board, played by a test on the master side of a pseudo-terminal
// (README.md shows its use).
#pragma once

#include <sys/types.h>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/private_tmp.h"

namespace board_rig {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kHandshake = 0x01;
constexpr uint8_t kDeviceMsg = 0x04;
constexpr uint8_t kControllerMsg = 0x05;
constexpr uint8_t kAckMsg = 0xFF;

// A5 01 type len_lo len_hi id_lo id_hi payload checksum (the 8-bit sum of a frame is 0).
Bytes frame(uint8_t type, const std::string& payload, uint16_t id);
// The board's handshake (payload A5 00 00 00), and the ACK that answers it.
Bytes handshake(uint16_t id = 0);
Bytes ack(uint16_t id);
// The "aiui_event" JSON of a wake-up (with `size`, padded to that length with an ignored key),
// and the device message carrying it.
std::string wakeup_json(double angle, int beam, size_t size = 0);
Bytes wakeup(double angle, int beam, uint16_t id = 0);
Bytes device_msg(const std::string& json, uint16_t id = 0);
// The frames (or pieces) one after another.
Bytes join(std::initializer_list<Bytes> parts);
// "A5 01 FF " style, as the link logs frames, and back.
std::string hex(const Bytes& bytes);
Bytes from_hex(const std::string& text);

class PtyBoard {
public:
    PtyBoard();  // throws std::runtime_error when no pseudo-terminal can be had
    ~PtyBoard();
    PtyBoard(const PtyBoard&) = delete;
    PtyBoard& operator=(const PtyBoard&) = delete;

    const std::string& slave_path() const { return slave_path_; }
    int master_fd() const { return master_; }

    // Waits until the program has put the slave into raw mode at 115200 baud (and so has
    // flushed its input): only bytes written after that reach it.
    bool wait_raw(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Puts the slave back into cooked mode, so wait_raw can see a second set-up.
    void reset_cooked();

    bool write(const Bytes& bytes);
    // One byte at a time with a pause between bytes (a board that stalls mid-frame).
    bool write_slowly(const Bytes& bytes, std::chrono::milliseconds gap);

    // Everything the program writes within the window.
    Bytes read_for(std::chrono::milliseconds window);
    // The next whole frame the program writes (bytes before a sync A5 01 are skipped).
    std::optional<Bytes> read_frame(std::chrono::milliseconds timeout);

    // Waits until the program has read every byte written so far (the slave's input queue is
    // empty; bytes of a write still on their way there are not seen).
    bool wait_taken(std::chrono::milliseconds timeout);

    // The board goes away: the program's descriptor hangs up, reads and writes fail from now on.
    void hang_up();

private:
    bool fill(std::chrono::steady_clock::time_point deadline);

    int master_ = -1;
    int slave_ = -1;  // ours: keeps the terminal alive while the program opens and closes it
    std::string slave_path_;
    Bytes pending_;
};

// The command line that runs argv with its own "/dev/ttyACM0" linked to slave (through
// private_tmp; test_support::canFakeTtyacm0() tells whether it works here).
std::vector<std::string> ttyacm0_command(const std::string& slave, const std::vector<std::string>& argv);
// The "/dev/ttyACM0" of a program started so (pid), as the system keeps it for a USB board:
// unplug removes it (the program then finds no port), plug points it at a new slave.
bool unplug_ttyacm0(pid_t pid);
bool plug_ttyacm0(pid_t pid, const std::string& slave);

}  // namespace board_rig
