// Stand-alone capture pair: opens an ALSA capture device, creates an Opus encoder and
// captures and encodes the microphone until the host clears record_running.
#include <alsa/asoundlib.h>
#include <opus/opus.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "agent_service/velantis_agent_service.h"
#include "common/alsa_capture.h"
#include "common/log_utils.h"

bool record_running = true;
int nchan = 1;
int srate = 16000;
OpusEncoder* encoder = nullptr;
snd_pcm_t* capture_handle = nullptr;

namespace {

constexpr snd_pcm_uframes_t kFramesPerBlock = 960;
constexpr int kMaxPacketBytes = 4000;
// One block at 16000 Hz; the longest a failing device is waited for before the next try.
constexpr int kBlockMs = 60;
constexpr auto kFailedReadPause = std::chrono::milliseconds(kBlockMs);

// Channel count that the device and the encoder were set up with.
int s_channels = 1;

bool recording() { return __atomic_load_n(&record_running, __ATOMIC_SEQ_CST); }

// Releases what a failed or repeated set-up leaves behind.
void releaseCapture() {
    if (capture_handle != nullptr) {
        snd_pcm_close(capture_handle);
        capture_handle = nullptr;
    }
    if (encoder != nullptr) {
        opus_encoder_destroy(encoder);
        encoder = nullptr;
    }
}

}  // namespace

bool init_soundcard(const char* device) {
    logF->logger->info("Open default soundcard");
    // A second set-up replaces the device and encoder of the first.
    releaseCapture();
    unsigned int rate = static_cast<unsigned int>(srate);
    const int code = velantis::open_capture(&capture_handle, device, &rate, static_cast<unsigned int>(nchan));
    // The granted rate, once the device has given one.
    if (code == 0 || code > 6) srate = static_cast<int>(rate);
    if (code != 0) return false;

    int opus_err = OPUS_OK;
    encoder = opus_encoder_create(srate, nchan, OPUS_APPLICATION_AUDIO, &opus_err);
    if (opus_err != OPUS_OK || encoder == nullptr) {
        logF->logger->error("opus_encoder_create failed: {}", opus_strerror(opus_err));
        encoder = nullptr;
        releaseCapture();
        return false;
    }
    s_channels = nchan;
    return true;
}

bool do_record() {
    logF->logger->info("Record process...");
    if (capture_handle == nullptr || encoder == nullptr) {
        logF->logger->error("Soundcard have not been initialized");
        return false;
    }
    logF->logger->info("Awakened, start recording");

    // One block of interleaved S16_LE frames, sized for the channels set up.
    const size_t samples = kFramesPerBlock * static_cast<size_t>(s_channels);
    std::vector<opus_int16> block(samples);
    unsigned char packet[kMaxPacketBytes];
    while (recording()) {
        snd_pcm_sframes_t frames = snd_pcm_readi(capture_handle, block.data(), kFramesPerBlock);
        if (frames < 0) {
            int err = snd_pcm_recover(capture_handle, static_cast<int>(frames), 1);
            if (err < 0) {
                logF->logger->error("Error reading audio data: {}", snd_strerror(err));
                // The device is gone: wait a block's time instead of spinning on it.
                std::this_thread::sleep_for(kFailedReadPause);
            }
            continue;
        }
        if (frames == 0) {
            logF->logger->error("No audio data readed");
            snd_pcm_wait(capture_handle, kBlockMs);
            continue;
        }
        if (static_cast<snd_pcm_uframes_t>(frames) < kFramesPerBlock) {
            // A short read is completed with silence.
            std::fill(block.begin() + frames * s_channels, block.end(), 0);
        }
        opus_int32 bytes = opus_encode(encoder, block.data(), static_cast<int>(kFramesPerBlock), packet,
                                       kMaxPacketBytes);
        if (bytes < 0) {
            logF->logger->error("Opus 编码错误: {}", opus_strerror(bytes));
        }
        // The packet is not used further.
    }
    return true;
}
