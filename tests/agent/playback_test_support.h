// What the playback and cloud-conversation tests share besides the support library: audio
// as bytes and WAV files.
#pragma once

#include "tests/support/files.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace conversation_test {

// 16-bit mono samples as the bytes a device or a file holds.
inline std::string pcmBytes(const std::vector<int16_t>& samples) {
    return std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
}

// A WAV file: a 44-byte header (playback skips it unread), then `data`.
inline std::string writeWave(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary);
    std::string header("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0", 20);
    header.resize(44, '\0');
    f << header << data;
    return path;
}

}  // namespace conversation_test
