// Playback on ALSA "default": one process-wide device, opened on first use and kept
// open until it cannot be used any more (a missing WAV file, a device that went away). Each call holds the device while
// it writes; received speech takes it block by block, so a greeting or goodbye (StopAndPlayFile) cuts the speech in
// hand within one block and the two never interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velantis {

// Opens and configures the device (S16_LE, mono, rate nearest 48000 Hz).
void initAlsa();
// Writes one block of PCM; with `complete`, waits until everything written has played.
void playOnDefaultSpeaker(const void* data, size_t bytes, bool complete);
// Discards whatever the device still holds and makes it ready for new data; every
// stream in progress ends.
void StopPlaying();
// Plays a WAV file (its first 44 bytes skipped); returns once the last data is queued.
void PlayFile(const std::string& path);

// StopPlaying, then PlayFile, with no received speech written in between.
void StopAndPlayFile(const std::string& path);

// Streams of received speech. A stream takes the epoch when it begins and writes each
// block with playStreamBlock, which writes nothing and returns false once StopPlaying or
// cutStreams has come since; it also returns false when the device could not be opened or
// has gone away, and the stream ends there.
uint64_t playbackEpoch();
bool playStreamBlock(uint64_t epoch, const void* data, size_t bytes);
// Ends every stream in progress; what the device holds plays on.
void cutStreams();

}  // namespace velantis
