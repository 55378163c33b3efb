// Framed local messages and the Unix-domain socket server that every local
// server of the system derives from.
#pragma once

#include <sys/select.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "local_message.h"

namespace velantis {

// Largest payload a server accepts. The largest message of the system is a
// TTS_REQUEST of 10 + 65535 bytes; a header announcing more drops its client.
constexpr uint32_t kMaxPayloadLength = 128 * 1024;

// Longest time a server waits for the rest of a message that has begun to
// arrive, and for a client to take a message sent to it. A client that
// exceeds either is dropped.
constexpr int kClientReceiveTimeoutMs = 2000;
constexpr int kClientSendTimeoutMs = 2000;

}  // namespace velantis

// One listening Unix-domain stream socket served by one thread with select.
// Each whole message is handed to handleClientMessage on the server thread,
// with clients_mutex_ held: a handler replies with sendMessage and must not
// call broadcastMessage or stop.
class UnixDomainSocketServer {
public:
    explicit UnixDomainSocketServer(std::string socket_path);
    virtual ~UnixDomainSocketServer();

    UnixDomainSocketServer(const UnixDomainSocketServer&) = delete;
    UnixDomainSocketServer& operator=(const UnixDomainSocketServer&) = delete;

    // Binds and listens (removing any stale file at the path), runs onInit and
    // starts the server thread. False if already running or set-up failed.
    bool start();
    // start(), then waits until another thread's stop() has finished.
    void run();
    // Ends the server thread, runs onCleanup, closes every socket and removes
    // the socket file. Not to be called on the server thread.
    void stop();

    // Sends one message to one client; payload may be null. Takes no lock.
    bool sendMessage(int client_fd, const velantis::MessageHeader& header, const void* payload);
    // Sends one message to every client and drops those that fail.
    void broadcastMessage(const velantis::MessageHeader& header, const void* payload);

    // Milliseconds since the Unix epoch (system clock, truncated).
    static uint64_t getCurrentTimestamp();

protected:
    virtual bool onInit();
    virtual void onCleanup();
    virtual void onClientConnected(int client_fd);
    virtual void onClientDisconnected(int client_fd);
    virtual void handleClientMessage(int client_fd, const velantis::MessageHeader& header,
                                     const std::vector<uint8_t>& payload) = 0;

    std::atomic<bool> running_{false};
    std::string socket_path_;
    int server_fd_ = -1;
    std::thread server_thread_;
    std::vector<int> clients_;
    std::mutex clients_mutex_;

private:
    bool createSocket();
    void serverLoop();
    void acceptNewClient();
    void handleClientIo(const fd_set& read_set);
    bool readFromClient(int client_fd);
    void removeClient(int client_fd, bool lock);
    void cleanup();
    void stopSteps(bool run_cleanup_hook);
    void closeDroppedLocked();

    // Serialises sends, so that a message sent from onClientConnected and one
    // from a broadcast never interleave on one connection.
    std::mutex send_mutex_;
    // Held for the whole of the stop steps: a second stop, the destructor and the
    // end of run() wait until the first stop has finished with the object.
    std::mutex stop_mutex_;
    // Clients that a broadcast dropped: shut down but still open, so that the
    // number is not reused while the server thread may still hold it; the
    // server thread closes them (guarded by clients_mutex_).
    std::vector<int> dropped_;
};
