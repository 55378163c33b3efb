#include "agent/audio_recorder.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/alsa_capture.h"
#include "common/console_line.h"
#include "common/log_utils.h"
#include "orvanite/orvanite.h"

namespace velantis {

namespace {

constexpr snd_pcm_uframes_t kBlockFrames = 960;
constexpr int kBlockMs = 60;
// How often a capture device that has gone away is looked for again.
constexpr auto kReopenInterval = std::chrono::seconds(1);
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

stoppable_semaphore::stoppable_semaphore() { sem_init(&sem_, 0, 0); }

stoppable_semaphore::~stoppable_semaphore() { sem_destroy(&sem_); }

void stoppable_semaphore::post() { sem_post(&sem_); }

void stoppable_semaphore::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    // One post ends a blocked wait. The count of wake-ups stays right: whichever post that
    // wait takes, the one left stands for the other.
    if (!stop_ && waiting_) sem_post(&sem_);
    stop_ = true;
}

bool stoppable_semaphore::wait() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return false;
        waiting_ = true;
    }
    while (sem_wait(&sem_) != 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_ = false;
    return !stop_;
}

bool stoppable_semaphore::stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
}

void stoppable_semaphore::end_loop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
}

audio_recorder& audio_recorder::Instance(unsigned int rate, unsigned int channels) {
    static audio_recorder instance(rate, channels);
    return instance;
}

audio_recorder::audio_recorder(unsigned int rate, unsigned int ch) : sample_rate(rate), channels(ch) {
    ws_controller_ptr = std::make_shared<ws_controller>();
}

audio_recorder::~audio_recorder() {
    release_capture();
    ws_controller_ptr.reset();
}

int audio_recorder::init_soundcard(const char* device) {
    logF->logger->info("Open default soundcard");
    // A repeated set-up starts afresh.
    release_capture();
    device_ = device;
    int code = 0;
    if (channels > kMaxChannels) {
        // The capture block on the loop's stack holds at most two channels.
        logF->logger->error("cannot set channel count ({}, {})", snd_strerror(-EINVAL), -EINVAL);
        code = 7;
    } else {
        // The granted rate replaces the one asked for.
        code = open_capture(&capture_pcm, device, &sample_rate, channels);
    }
    if (code == 0) {
        start_link_thread();
        code = create_encoder();
    }
    // A failed set-up leaves nothing behind, so do_record finds no device.
    if (code != 0) release_capture();
    return code;
}

// The link runs for the life of the process: the first set-up that gets this far starts it.
void audio_recorder::start_link_thread() {
    std::call_once(link_started_, [this] {
        link_thread = std::thread([this] {
            logF->logger->info("New Thread: init_orvanite");
            orvanite::init_orvanite([this](double angle, int beam) { on_wakeup(angle, beam); });
        });
        link_thread.detach();
    });
}

int audio_recorder::create_encoder() {
    int error = 0;
    opus_encoder = opus_encoder_create(static_cast<opus_int32>(sample_rate), static_cast<int>(channels),
                                       OPUS_APPLICATION_AUDIO, &error);
    if (error == 0) return 0;
    logF->logger->error("opus_encoder_create failed: {}", opus_strerror(error));
    return 15;
}

// Closes the capture device and destroys the encoder, whichever of them there is.
void audio_recorder::release_capture() {
    if (capture_pcm) close_soundcard();
    if (opus_encoder) {
        opus_encoder_destroy(opus_encoder);
        opus_encoder = nullptr;
    }
}

int audio_recorder::close_soundcard() {
    logF->logger->info("Close default soundcard");
    int err = snd_pcm_close(capture_pcm);
    capture_pcm = nullptr;
    return err != 0 ? 14 : 0;
}

void audio_recorder::on_wakeup(double angle, int beam) {
    std::ostringstream line;  // the angle in the stream's default form
    line << "-- callback -- with angle: " << angle << ", beam: " << beam;
    consoleLine(std::cout, line.str());
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
        if (!ws_controller_ptr) {
            logF->logger->error("ws_controller_ptr is null, can not connect now");
        } else if (!ws_controller_ptr->connect()) {
            // No conversation without its connection (connect has logged why): the next
            // wake-up starts one afresh rather than ending this one.
            recording.exchange(false);
            return;
        }
        wake_sem.post();
        consoleLine(std::cout, "Callback executed, post awaken.");
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
    ws_controller_ptr->processGoodbyeFile(file);
    ws_controller_ptr->rcSetEmoji(4);
}

int audio_recorder::do_record() {
    logF->logger->info("Record process...");
    int result = 0;
    if (!capture_pcm || !opus_encoder) {
        logF->logger->error("Soundcard have not been initialized");
        result = 1;
    } else {
        // A wake-up that ends a conversation sends the loop back to waiting; a stop ends it.
        while (wait_for_wakeup()) {
            capture_conversation();
            if (wake_sem.stopping()) break;
        }
    }
    wake_sem.end_loop();
    return result;
}

// True when a wake-up starts a conversation, false when a stop ends the wait.
bool audio_recorder::wait_for_wakeup() {
    logF->logger->info("Waiting for hotword");
    if (!wake_sem.wait()) return false;
    logF->logger->info("Awakened, start recording");
    return true;
}

bool audio_recorder::capturing() { return recording.load() && !wake_sem.stopping(); }

// Captures, encodes and sends 60 ms blocks until the conversation ends or a stop comes.
void audio_recorder::capture_conversation() {
    int16_t block[kBlockFrames * kMaxChannels] = {};
    while (read_block(block)) send_packet(block);
}

// Reads one whole block. A short read (an overrun in the middle of a transfer) is completed
// by the next reads rather than encoding what the previous block left in the buffer. False
// when the conversation ends or a stop comes first.
bool audio_recorder::read_block(int16_t* block) {
    snd_pcm_uframes_t got = 0;
    while (got < kBlockFrames) {
        if (!capturing()) return false;
        if (!capture_pcm && !reopen_capture()) return false;
        const snd_pcm_sframes_t frames = snd_pcm_readi(capture_pcm, block + got * channels, kBlockFrames - got);
        if (frames > 0) {
            got += static_cast<snd_pcm_uframes_t>(frames);
        } else if (frames == 0) {
            logF->logger->error("No audio data readed");
            snd_pcm_wait(capture_pcm, kBlockMs);
        } else if (int rc = snd_pcm_recover(capture_pcm, static_cast<int>(frames), 0); rc < 0) {
            logF->logger->error("Error reading audio data: {}", snd_strerror(rc));
            if (capture_gone(capture_pcm, rc)) {
                // Unplugged: this handle never captures again. The block starts afresh on the
                // device that comes back.
                close_soundcard();
                got = 0;
            } else {
                // A fault that may pass: wait a block's time instead of spinning on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(kBlockMs));
            }
        }
    }
    return true;
}

// Opens the capture device that went away again, with the same set-up, once a second until it
// is back (true), or until the conversation ends or a stop comes (false).
bool audio_recorder::reopen_capture() {
    logF->logger->warn("Capture device {} is gone, opening it again every second", device_);
    auto next_try = std::chrono::steady_clock::now();
    while (capturing()) {
        if (std::chrono::steady_clock::now() >= next_try) {
            unsigned int rate = sample_rate;
            if (open_capture(&capture_pcm, device_.c_str(), &rate, channels, true) == 0) {
                // The encoder was made for the rate of the first set-up.
                if (rate == sample_rate) {
                    logF->logger->info("Open default soundcard");
                    return true;
                }
                snd_pcm_close(capture_pcm);
                capture_pcm = nullptr;
            }
            next_try += kReopenInterval;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kBlockMs));
    }
    return false;
}

// Encodes one block and sends it while the connection is open; dropped otherwise.
void audio_recorder::send_packet(const int16_t* block) {
    unsigned char packet[kMaxPacket];
    const opus_int32 len = opus_encode(opus_encoder, block, static_cast<int>(kBlockFrames), packet, kMaxPacket);
    if (len < 0) {
        logF->logger->error("Opus 编码错误: {}", opus_strerror(len));
        return;
    }
    if (!ws_controller_ptr) {
        logF->logger->error("ws_controller_ptr is null, can not send opus data");
    } else if (ws_controller_ptr->getConnectionState() == 1) {
        ws_controller_ptr->sendMessage(std::string(reinterpret_cast<const char*>(packet), static_cast<size_t>(len)));
    }
}

int audio_recorder::stop_record() {
    recording.exchange(false);
    wake_sem.stop();
    return 0;
}

void audio_recorder::clear_stop() { wake_sem.end_loop(); }

}  // namespace velantis
