// Host interface of libvelantis_agent_service.
//
// Call order a host keeps:
//   1. load the library;
//   2. call velantis::startService on a thread of its own (it returns after shutdown);
//   3. use the clients from other threads once the servers listen;
//   4. call velantis::stopService from another thread;
//   5. unload the library or exit only after velantis::startService has returned.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/unix_domain_socket_server.h"

struct OpusEncoder;
typedef struct _snd_pcm snd_pcm_t;

namespace velantis {

// Starts the speech and wake-word supervisors and blocks until the service has stopped.
void startService();
// Asks the service to stop; returns at once.
void stopService();

// Connects to the wake-word server and hands every received header to `callback`
// (handleMessage when empty) until stopWakeWordListening or the server disconnects.
// The callback reads the header's payload from g_wakeword_client_fd before it returns.
bool listenWakeWord(std::function<void(const velantis::MessageHeader&)> callback);
// Ends the listening; a blocked listenWakeWord returns true.
void stopWakeWordListening();

// Has the text spoken by the speech server; true once the request was sent.
bool sendTTSRequest(const std::string& text);

// Ask the agent process to start or stop recording; true when it acknowledged within 5 s.
bool runTavrinAgent();
bool stopTavrinAgent();

}  // namespace velantis

// Default wake-word callback: reads the payload and prints the message.
void handleMessage(const velantis::MessageHeader& header);
// Sends one header and its payload on a connected socket.
bool sendMessage(int fd, const velantis::MessageHeader& header, const std::vector<uint8_t>& payload);

// Stand-alone capture and Opus encoding of an ALSA capture device.
bool init_soundcard(const char* device);
bool do_record();

// Service state.
extern std::atomic<bool> g_shutdown_requested;
extern std::mutex g_main_mutex;
extern std::condition_variable g_main_cv;
extern std::thread g_tts_thread;
extern std::thread g_wakeword_thread;

// Clients. g_msg_id is the request-id counter, taken and incremented atomically by the library.
extern uint64_t g_msg_id;
extern int g_wakeword_client_fd;
extern int g_kokoro_tts_client_fd;

// Capture pair. The library reads and writes record_running atomically; a host that clears
// it from another thread should do the same (__atomic_store_n(&record_running, false, ...)).
extern bool record_running;
extern int nchan;
extern int srate;
extern OpusEncoder* encoder;
extern snd_pcm_t* capture_handle;
