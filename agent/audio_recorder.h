#pragma once

#include <alsa/asoundlib.h>
#include <opus/opus.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "agent/ws_controller.h"

namespace velantis {

// The recording loop's counting semaphore, whose wait a stop can also end. Each post is one
// wake-up and releases one wait. A stop is meant for the loop that runs, or for the one about
// to start: it ends that loop and is used up when the loop ends.
class stoppable_semaphore {
public:
    stoppable_semaphore();
    ~stoppable_semaphore();
    stoppable_semaphore(const stoppable_semaphore&) = delete;
    stoppable_semaphore& operator=(const stoppable_semaphore&) = delete;

    void post();
    void stop();
    // Blocks until a wake-up (true) or a stop (false); returns false at once while a stop
    // waits to be used up.
    bool wait();
    // A stop waits to be used up.
    bool stopping();
    // The loop has ended: its stop, if one came, is used up.
    void end_loop();

private:
    sem_t sem_;
    std::mutex mutex_;
    bool stop_ = false;     // under mutex_
    bool waiting_ = false;  // under mutex_: wait() is blocked on sem_
};

// The microphone side of the agent: capture, Opus encoding and the wake-up toggle of a
// conversation. One instance per process, reached through Instance().
class audio_recorder {
public:
    static audio_recorder& Instance(unsigned int rate, unsigned int channels);

    audio_recorder(const audio_recorder&) = delete;
    audio_recorder& operator=(const audio_recorder&) = delete;
    ~audio_recorder();

    // Opens and starts the capture device, starts the link thread (once per process) and
    // creates the encoder. 0 or an error code; a failed set-up leaves nothing open.
    int init_soundcard(const char* device);
    // The recording loop. 1 without a complete set-up; otherwise returns after stop_record().
    int do_record();
    // Ends the current capture and makes the current (or the next starting) do_record return.
    int stop_record();
    // Once the recording thread has been joined: a stop that came after its loop ended
    // does not end the next one.
    void clear_stop();
    int close_soundcard();

    void keywordResponse(double angle, int beam);
    void byeResponse();

private:
    audio_recorder(unsigned int rate, unsigned int channels);
    void start_link_thread();
    int create_encoder();
    void release_capture();
    void on_wakeup(double angle, int beam);
    bool wait_for_wakeup();
    bool capturing();
    void capture_conversation();
    bool read_block(int16_t* block);
    bool reopen_capture();
    void send_packet(const int16_t* block);

    std::thread link_thread;
    uint32_t sample_rate;
    uint32_t channels;
    snd_pcm_t* capture_pcm = nullptr;
    stoppable_semaphore wake_sem;
    OpusEncoder* opus_encoder = nullptr;
    std::atomic<bool> recording{false};
    std::shared_ptr<ws_controller> ws_controller_ptr;

    std::once_flag link_started_;
    std::string device_;  // reopened when the device goes away and comes back
};

}  // namespace velantis
