// Known test signals and Ogg Opus streams made from them (the cloud's spoken answers).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cloud_rig {

// A linear chirp from f0 to f1 Hz, mono 16-bit, `amplitude` of full scale.
std::vector<int16_t> chirp(double seconds, int rate = 48000, double f0 = 300.0, double f1 = 3000.0,
                           double amplitude = 0.5);

// One complete Ogg Opus stream of the samples (interleaved when `channels` > 1), made with
// libopusenc. Throws std::runtime_error when the encoder fails.
std::string encodeOggOpus(const std::vector<int16_t>& pcm, int rate = 48000, int channels = 1);

// Decodes a whole Ogg Opus stream held in memory at 48000 Hz, mono (channels mixed down).
// Empty when the stream cannot be opened.
std::vector<int16_t> decodeOggOpus(const std::string& stream);

// Best normalised cross-correlation of b against a for lags 0..maxLag (b delayed), over
// the overlapping part. 1.0 means the same signal.
double bestCorrelation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t maxLag = 64);

}  // namespace cloud_rig
