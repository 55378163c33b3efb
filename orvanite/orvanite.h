// liborvanite: the link to the microphone-array board on "/dev/ttyACM0".
#pragma once

#include <functional>
#include <string>

namespace orvanite {

// Opens the board's port and reads it on the calling thread for the life of the process,
// calling callback(angle, beam) for each wake-up. Returns only when the port cannot be
// opened, the read loop ends on an exception, or the link already runs in this process.
void init_orvanite(std::function<void(double, int)> callback);

// Sends text to the board as one controller frame; true when it was written.
bool send_orvanite_str(const std::string& text);

}  // namespace orvanite
