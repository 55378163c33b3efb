#include "agent/audio_recorder.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "common/log_utils.h"
#include "orvanite/orvanite.h"

namespace velantis {

namespace {

constexpr snd_pcm_uframes_t kBlockFrames = 960;
constexpr int kMaxPacket = 4000;
constexpr uint32_t kMaxChannels = 2;

const std::vector<std::string>& greeting_files() {
    static const std::vector<std::string> files{"res/你好啊.wav", "res/在呢.wav"};
    return files;
}

const std::vector<std::string>& goodbye_files() {
    static const std::vector<std::string> files{"res/好的，再见.wav", "res/好的，再见.wav"};
    return files;
}

}  // namespace

audio_recorder& audio_recorder::Instance(unsigned int rate, unsigned int channels) {
    static audio_recorder instance(rate, channels);
    return instance;
}

audio_recorder::audio_recorder(unsigned int rate, unsigned int ch) : sample_rate(rate), channels(ch) {
    sem_init(&wake_sem, 0, 0);
    ws_controller_ptr = std::make_shared<ws_controller>();
}

audio_recorder::~audio_recorder() {
    if (capture_pcm) close_soundcard();
    sem_destroy(&wake_sem);
    if (opus_encoder) {
        opus_encoder_destroy(opus_encoder);
        opus_encoder = nullptr;
    }
    ws_controller_ptr.reset();
}

int audio_recorder::init_soundcard(const char* device) {
    logF->logger->info("Open default soundcard");
    ready_ = false;
    if (capture_pcm) {
        close_soundcard();
        if (opus_encoder) {
            opus_encoder_destroy(opus_encoder);
            opus_encoder = nullptr;
        }
    }

    int err = snd_pcm_open(&capture_pcm, device, SND_PCM_STREAM_CAPTURE, 0);
    if (err < 0) {
        capture_pcm = nullptr;
        logF->logger->error("cannot open audio device {} ({}, {})", device, snd_strerror(err), err);
        return 1;
    }

    snd_pcm_hw_params_t* params = nullptr;
    if ((err = snd_pcm_hw_params_malloc(&params)) < 0) {
        logF->logger->error("cannot allocate hardware parameter structure ({}, {})", snd_strerror(err), err);
        return 2;
    }
    // Each step's code and message; the parameter structure is freed on every path.
    int code = 0;
    auto step = [&](int result, int c, const char* what) {
        if (code != 0) return;
        err = result;
        if (err < 0) {
            logF->logger->error("{} ({}, {})", what, snd_strerror(err), err);
            code = c;
        }
    };
    step(snd_pcm_hw_params_any(capture_pcm, params), 3, "cannot initialize hardware parameter structure");
    if (code == 0)
        step(snd_pcm_hw_params_set_access(capture_pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED), 4,
             "cannot set access type");
    if (code == 0)
        step(snd_pcm_hw_params_set_format(capture_pcm, params, SND_PCM_FORMAT_S16_LE), 5, "cannot set sample format");
    if (code == 0) {
        unsigned int rate = sample_rate;
        step(snd_pcm_hw_params_set_rate_near(capture_pcm, params, &rate, nullptr), 6, "cannot set sample rate");
        if (code == 0) sample_rate = rate;
    }
    if (code == 0) {
        // The capture block on the loop's stack holds at most two channels.
        step(channels > kMaxChannels ? -EINVAL : snd_pcm_hw_params_set_channels(capture_pcm, params, channels), 7,
             "cannot set channel count");
    }
    if (code == 0) step(snd_pcm_hw_params(capture_pcm, params), 8, "cannot set parameters");
    if (code == 0) step(snd_pcm_prepare(capture_pcm), 9, "cannot prepare audio interface for use");
    if (code == 0) step(snd_pcm_start(capture_pcm), 13, "cannot start soundcard");
    snd_pcm_hw_params_free(params);
    if (code != 0) return code;

    if (!link_started_.exchange(true)) {
        link_thread = std::thread([this] {
            logF->logger->info("New Thread: init_orvanite");
            orvanite::init_orvanite([this](double angle, int beam) { on_wakeup(angle, beam); });
        });
        link_thread.detach();
    }

    int error = 0;
    opus_encoder = opus_encoder_create(static_cast<opus_int32>(sample_rate), static_cast<int>(channels),
                                       OPUS_APPLICATION_AUDIO, &error);
    if (error != 0) {
        if (opus_encoder) opus_encoder_destroy(opus_encoder);
        opus_encoder = nullptr;
        logF->logger->error("opus_encoder_create failed: {}", opus_strerror(error));
        return 15;
    }
    ready_ = true;
    return 0;
}

int audio_recorder::close_soundcard() {
    logF->logger->info("Close default soundcard");
    int err = snd_pcm_close(capture_pcm);
    capture_pcm = nullptr;
    return err != 0 ? 14 : 0;
}

void audio_recorder::on_wakeup(double angle, int beam) {
    std::cout << "-- callback -- with angle: " << angle << ", beam: " << beam << std::endl;
    if (recording.load()) {
        logF->logger->info("recording task is already running, stop it");
        recording.exchange(false);
        byeResponse();
        if (ws_controller_ptr)
            ws_controller_ptr->disconnect();
        else
            logF->logger->error("ws_controller_ptr is null, can not disconnect");
    } else {
        logF->logger->info("recording task not running, start it");
        recording.exchange(true);
        if (ws_controller_ptr)
            ws_controller_ptr->connect();
        else
            logF->logger->error("ws_controller_ptr is null, can not connect now");
        sem_post(&wake_sem);
        std::cout << "Callback executed, post awaken." << std::endl;
        keywordResponse(angle, beam);
    }
}

void audio_recorder::keywordResponse(double angle, int beam) {
    const auto& files = greeting_files();
    const std::string& file = files[static_cast<size_t>(rand()) % files.size()];
    if (!ws_controller_ptr) return;
    ws_controller_ptr->processWaveFile(file);
    ws_controller_ptr->rcSetEmoji(7);
    ws_controller_ptr->rcFollowAwaken(angle, beam);
}

void audio_recorder::byeResponse() {
    const auto& files = goodbye_files();
    const std::string& file = files[static_cast<size_t>(rand()) % files.size()];
    if (!ws_controller_ptr) return;
    ws_controller_ptr->processWaveFile(file);
    ws_controller_ptr->rcSetEmoji(4);
}

bool audio_recorder::stop_requested() {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    return stop_pending_;
}

// Blocks until a wake-up starts a conversation (true) or a stop ends the wait (false).
// A stop posts the semaphore at most once and only while we wait on it, so every wait
// consumes exactly one post and the wake-ups that remain keep their count.
bool audio_recorder::wait_for_wakeup() {
    logF->logger->info("Waiting for hotword");
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        if (stop_pending_) return false;
        waiting_ = true;
    }
    while (sem_wait(&wake_sem) != 0 && errno == EINTR) {
    }
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        waiting_ = false;
        stop_posted_ = false;
        if (stop_pending_) return false;
    }
    logF->logger->info("Awakened, start recording");
    return true;
}

int audio_recorder::do_record() {
    logF->logger->info("Record process...");
    // A set-up that failed after opening leaves a handle that cannot capture, or no encoder.
    if (!capture_pcm || !ready_ || !opus_encoder) {
        logF->logger->error("Soundcard have not been initialized");
        return 1;
    }

    int16_t block[kBlockFrames * kMaxChannels] = {};
    unsigned char packet[kMaxPacket];
    while (wait_for_wakeup()) {
        while (recording.load() && !stop_requested()) {
            // A block is encoded only once all of its 960 frames have been read: a short read
            // (an overrun in the middle of a transfer) is completed by the next reads instead of
            // encoding what the previous block left in the buffer.
            snd_pcm_uframes_t got = 0;
            while (got < kBlockFrames && recording.load() && !stop_requested()) {
                snd_pcm_sframes_t frames = snd_pcm_readi(capture_pcm, block + got * channels, kBlockFrames - got);
                if (frames < 0) {
                    int rc = snd_pcm_recover(capture_pcm, static_cast<int>(frames), 0);
                    if (rc < 0) {
                        logF->logger->error("Error reading audio data: {}", snd_strerror(rc));
                        // The device is gone: wait a block's time instead of spinning on it.
                        std::this_thread::sleep_for(std::chrono::milliseconds(60));
                    }
                    continue;
                }
                if (frames == 0) {
                    logF->logger->error("No audio data readed");
                    snd_pcm_wait(capture_pcm, 60);
                    continue;
                }
                got += static_cast<snd_pcm_uframes_t>(frames);
            }
            if (got < kBlockFrames) continue;  // ended by a wake-up or a stop
            opus_int32 len = opus_encode(opus_encoder, block, static_cast<int>(kBlockFrames), packet, kMaxPacket);
            if (len < 0) {
                logF->logger->error("Opus 编码错误: {}", opus_strerror(len));
                continue;
            }
            if (!ws_controller_ptr) {
                logF->logger->error("ws_controller_ptr is null, can not send opus data");
            } else if (ws_controller_ptr->getConnectionState() == 1) {
                ws_controller_ptr->sendMessage(
                    std::string(reinterpret_cast<const char*>(packet), static_cast<size_t>(len)));
            }
        }
        if (stop_requested()) break;
    }
    return 0;
}

int audio_recorder::stop_record() {
    recording.exchange(false);
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stop_pending_ = true;
    if (waiting_ && !stop_posted_) {
        stop_posted_ = true;
        sem_post(&wake_sem);
    }
    return 0;
}

void audio_recorder::clear_stop() {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stop_pending_ = false;
}

}  // namespace velantis
