// Capture set-up shared by the agent's recorder and the service library's capture pair.
#pragma once

#include <alsa/asoundlib.h>

namespace velantis {

// Opens `device` for capture in blocking mode into *pcm, asks for interleaved S16_LE, the
// rate nearest *rate (the granted rate is written back) and `channels` channels (ALSA's
// defaults for everything else), installs the parameters, prepares and starts the capture.
// Returns 0, or the failed step's code: 1 open, 2 parameter allocation, 3 configuration
// space, 4 access, 5 format, 6 rate, 7 channels, 8 install, 9 prepare, 13 start. A failure is
// logged at error with ALSA's text and code unless `quiet`, and leaves *pcm null and nothing
// open.
int open_capture(snd_pcm_t** pcm, const char* device, unsigned int* rate, unsigned int channels, bool quiet = false);

// True when a capture error or the handle's state says that the device has gone away (a
// USB card unplugged): the handle can never capture again and must be closed and reopened.
bool capture_gone(snd_pcm_t* pcm, int err);

}  // namespace velantis
