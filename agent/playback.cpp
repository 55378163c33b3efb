#include "agent/playback.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "common/console_line.h"
#include "common/log_utils.h"

namespace velantis {

static snd_pcm_t* s_handle = nullptr;
static bool s_alsaInit = false;
static std::atomic<uint64_t> s_epoch{0};
// Held by each call while it uses the device.
static std::mutex s_deviceMutex;

namespace {

constexpr unsigned int kPlaybackRate = 48000;
constexpr size_t kFileChunkBytes = 4096;

void closeDevice() {
    if (s_handle) {
        snd_pcm_close(s_handle);
    }
    s_handle = nullptr;
    s_alsaInit = false;
}

void openDevice() {
    // Opened again while open (initAlsa called directly): the old handle is not leaked.
    closeDevice();
    int err = snd_pcm_open(&s_handle, "default", SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        consoleLine(std::cerr, "无法打开音频设备: ", snd_strerror(err));
        s_handle = nullptr;
        return;
    }

    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(s_handle, params);
    snd_pcm_hw_params_set_access(s_handle, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    snd_pcm_hw_params_set_format(s_handle, params, SND_PCM_FORMAT_S16_LE);
    snd_pcm_hw_params_set_channels(s_handle, params, 1);
    unsigned int rate = kPlaybackRate;
    snd_pcm_hw_params_set_rate_near(s_handle, params, &rate, nullptr);

    if (snd_pcm_hw_params(s_handle, params) < 0) {
        consoleLine(std::cerr, "无法设置音频参数");
        snd_pcm_close(s_handle);
        s_handle = nullptr;
        return;
    }

    snd_pcm_prepare(s_handle);
    s_alsaInit = true;
    consoleLine(std::cout, "ALSA音频设备初始化成功，采样率: ", rate, " Hz");
}

// True when an error or the handle's state says that the device has gone away (a USB card
// unplugged): the handle can never play again, so it is closed and the next call opens it
// afresh.
bool deviceGone(int err) { return err == -ENODEV || snd_pcm_state(s_handle) == SND_PCM_STATE_DISCONNECTED; }

// Opens the device when it is not open yet; false (with the message) when that fails.
bool ensureDevice() {
    if (!s_alsaInit) {
        openDevice();
    }
    if (!s_alsaInit) {
        consoleLine(std::cerr, "ALSA initialization failed, cannot play audio");
        return false;
    }
    return true;
}

// The bodies of the playing calls, run under s_deviceMutex.

// False when the device could not be opened or has gone away.
bool writeBlock(const void* data, size_t bytes, bool complete) {
    consoleLine(std::cout, "playOnDefaultSpeaker called, size: ", bytes, ", complete: ", complete ? 1 : 0);
    if (!ensureDevice()) {
        return false;
    }

    if (data != nullptr && bytes != 0) {
        // A drain leaves the device set up but not prepared.
        if (snd_pcm_state(s_handle) == SND_PCM_STATE_SETUP) {
            snd_pcm_prepare(s_handle);
        }
        const auto frames = static_cast<snd_pcm_uframes_t>(bytes / 2);
        snd_pcm_sframes_t written = snd_pcm_writei(s_handle, data, frames);
        if (written == -EPIPE) {
            consoleLine(std::cout, "音频缓冲区underrun，恢复设备...");
            snd_pcm_prepare(s_handle);
            written = snd_pcm_writei(s_handle, data, frames);
        }
        if (written < 0) {
            consoleLine(std::cerr, "写入音频数据失败: ", snd_strerror(static_cast<int>(written)));
            if (deviceGone(static_cast<int>(written))) {
                closeDevice();
                return false;
            }
        } else {
            consoleLine(std::cout, "成功写入 ", written, " 帧音频数据到默认扬声器");
        }
    }

    if (complete) {
        if (deviceGone(snd_pcm_drain(s_handle))) {
            closeDevice();
            return false;
        }
        consoleLine(std::cout, "音频播放完成");
    }
    return true;
}

void dropAndPrepare() {
    if (!ensureDevice()) {
        return;
    }
    int err = snd_pcm_drop(s_handle);
    if (err < 0) {
        logF->logger->error("Failed to stop playing pcm. {}", snd_strerror(err));
        if (deviceGone(err)) {
            closeDevice();
            return;
        }
    }
    err = snd_pcm_prepare(s_handle);
    if (err < 0) {
        logF->logger->error("Failed to prepare PCM after drop: {}", snd_strerror(err));
        if (deviceGone(err)) {
            closeDevice();
        }
    }
}

// Writes one chunk of a file; false when an error ends the file.
bool writeFileChunk(const char* chunk, snd_pcm_uframes_t frames) {
    const snd_pcm_sframes_t result = snd_pcm_writei(s_handle, chunk, frames);
    if (result >= 0) {
        return true;
    }
    if (result == -EPIPE) {
        snd_pcm_prepare(s_handle);
    } else if (result == -ESTRPIPE) {
        int err;
        while ((err = snd_pcm_resume(s_handle)) == -EAGAIN) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        if (err < 0) {
            snd_pcm_prepare(s_handle);
        }
    } else {
        consoleLine(std::cerr, "Error writing to PCM device: ", snd_strerror(static_cast<int>(result)));
        if (deviceGone(static_cast<int>(result))) {
            closeDevice();
        }
        return false;
    }
    return true;
}

// Plays a WAV file; the caller holds the device.
void writeWaveFile(const std::string& path) {
    logF->logger->info("Playing file: {}", path);
    if (!ensureDevice()) {
        return;
    }

    std::ifstream file(path, std::ios::binary);
    if (!file) {
        consoleLine(std::cerr, "Error opening WAV file: ", path);
        closeDevice();
        return;
    }

    file.seekg(44);
    if (snd_pcm_state(s_handle) == SND_PCM_STATE_SETUP) {
        snd_pcm_prepare(s_handle);
    }

    char chunk[kFileChunkBytes];
    while (file) {
        file.read(chunk, sizeof(chunk));
        const std::streamsize got = file.gcount();
        if (got <= 0 || !writeFileChunk(chunk, static_cast<snd_pcm_uframes_t>(got / 2))) {
            break;
        }
    }
}

}  // namespace

void initAlsa() {
    std::lock_guard<std::mutex> lock(s_deviceMutex);
    openDevice();
}

void playOnDefaultSpeaker(const void* data, size_t bytes, bool complete) {
    std::lock_guard<std::mutex> lock(s_deviceMutex);
    writeBlock(data, bytes, complete);
}

uint64_t playbackEpoch() { return s_epoch.load(); }

bool playStreamBlock(uint64_t epoch, const void* data, size_t bytes) {
    // Checked before waiting for the device too: a cut stream does not queue behind the
    // sound that cut it.
    if (s_epoch.load() != epoch) {
        return false;
    }
    std::lock_guard<std::mutex> lock(s_deviceMutex);
    if (s_epoch.load() != epoch) {
        return false;
    }
    // Without a device the rest of the stream is dropped rather than tried block by block.
    return writeBlock(data, bytes, false);
}

void cutStreams() { s_epoch.fetch_add(1); }

void StopPlaying() {
    // Before the lock: the stream in hand stops after the block it is writing.
    cutStreams();
    std::lock_guard<std::mutex> lock(s_deviceMutex);
    dropAndPrepare();
}

void PlayFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(s_deviceMutex);
    writeWaveFile(path);
}

void StopAndPlayFile(const std::string& path) {
    cutStreams();
    std::lock_guard<std::mutex> lock(s_deviceMutex);
    dropAndPrepare();
    writeWaveFile(path);
}

}  // namespace velantis
