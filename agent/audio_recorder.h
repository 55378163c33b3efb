#pragma once

#include <alsa/asoundlib.h>
#include <opus/opus.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "agent/ws_controller.h"

namespace velantis {

// The microphone side of the agent: capture, Opus encoding and the wake-up toggle of a
// conversation. One instance per process, reached through Instance().
class audio_recorder {
public:
    static audio_recorder& Instance(unsigned int rate, unsigned int channels);

    audio_recorder(const audio_recorder&) = delete;
    audio_recorder& operator=(const audio_recorder&) = delete;
    ~audio_recorder();

    // Opens and starts the capture device, starts the link thread (once per process) and
    // creates the encoder. 0 or an error code.
    int init_soundcard(const char* device);
    // The recording loop. 1 when the device is not ready to capture; otherwise returns after
    // stop_record().
    int do_record();
    // Ends the current capture and makes the current (or the next starting) do_record return.
    int stop_record();
    // Forgets a stop request once the recording thread it was meant for has been joined.
    void clear_stop();
    int close_soundcard();

    void keywordResponse(double angle, int beam);
    void byeResponse();

private:
    audio_recorder(unsigned int rate, unsigned int channels);
    void on_wakeup(double angle, int beam);
    bool wait_for_wakeup();
    bool stop_requested();

    std::thread link_thread;
    uint32_t sample_rate;
    uint32_t channels;
    snd_pcm_t* capture_pcm = nullptr;
    sem_t wake_sem;
    OpusEncoder* opus_encoder = nullptr;
    std::atomic<bool> recording{false};
    std::shared_ptr<ws_controller> ws_controller_ptr;

    // Set-up result of the last init_soundcard: capture runs only after a full set-up.
    bool ready_ = false;
    std::atomic<bool> link_started_{false};

    // Stop handshake with the agent server thread.
    std::mutex stop_mutex_;
    bool stop_pending_ = false;
    bool waiting_ = false;      // do_record is blocked on wake_sem
    bool stop_posted_ = false;  // stop_record posted wake_sem to end that wait
};

}  // namespace velantis
