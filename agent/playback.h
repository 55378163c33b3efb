// Playback on ALSA "default": one process-wide device, opened on first use and kept
// open. Every playing call holds the device for its whole duration, so the link
// thread (greetings) and the WebSocket thread (received speech) never interleave.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

namespace velantis {

// Opens and configures the device (S16_LE, mono, rate nearest 48000 Hz).
void initAlsa();
// Writes one block of PCM; with `complete`, waits until everything written has played.
void playOnDefaultSpeaker(const void* data, size_t bytes, bool complete);
// Discards whatever the device still holds and makes it ready for new data.
void StopPlaying();
// Plays a WAV file (its first 44 bytes skipped); returns once the last data is queued.
void PlayFile(const std::string& path);

// The lock each playing call holds; held across several calls to keep them together.
std::recursive_mutex& playbackMutex();

}  // namespace velantis
