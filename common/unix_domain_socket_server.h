// The Unix-domain socket server that every local server of the system derives
// from, and its limits. The messages it carries are in local_message.h.
#pragma once

#include <sys/select.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "local_message.h"  // beside this header when installed

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
//
// Nothing waits on a client. Each client's bytes are gathered as they arrive and a
// message is handled once it is whole; a client whose message stays incomplete for
// kClientReceiveTimeoutMs is dropped. A message that a client cannot take at once waits
// in that client's own small queue and is sent, in order, as the client reads; a client
// whose queue is full, or that takes nothing of it for kClientSendTimeoutMs, is dropped.
// Both bounds count only the time the server thread is free to serve: time spent in
// handlers and hooks is not held against anybody. A client that has finished sending,
// and the clients still there at stop(), first get what is queued for them, within
// kClientSendTimeoutMs.
class UnixDomainSocketServer {
public:
    // What made the last start() fail.
    struct StartFailure {
        enum Step { None, AlreadyRunning, Socket, Init, Thread };
        Step step = None;
        std::string reason;  // the system's error text, where a system call failed
    };

    explicit UnixDomainSocketServer(std::string socket_path);
    virtual ~UnixDomainSocketServer();

    UnixDomainSocketServer(const UnixDomainSocketServer&) = delete;
    UnixDomainSocketServer& operator=(const UnixDomainSocketServer&) = delete;

    // Binds and listens (removing any stale file at the path), runs onInit and
    // starts the server thread. False if already running or set-up failed;
    // startFailure() then says which step failed and why.
    bool start();
    // Step None after a start that succeeded.
    const StartFailure& startFailure() const;
    // start(), then waits until another thread's stop() has finished.
    void run();
    // Ends the server thread, runs onCleanup, closes every socket and removes
    // the socket file. Not to be called on the server thread.
    void stop();

    // Sends one message to one client, or queues it behind the client's earlier ones;
    // payload may be null. Never waits and takes no client-list lock. False when the
    // client is gone or has just been dropped.
    bool sendMessage(int client_fd, const velantis::MessageHeader& header, const void* payload);
    // Sends one message to every client and removes those dropped.
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
    // Takes a connected socket as a client, as if just accepted; the server owns it and
    // closes it at once when it refuses it (at or past FD_SETSIZE, or into the reserve).
    bool addClient(int client_fd);
    // Descriptors of the process that taking a client must leave free below the soft
    // RLIMIT_NOFILE, for what the process itself has to open. 0 (the default): none.
    void setDescriptorReserve(int count);
    // The mode that start() gives the socket file once bound, whatever the umask
    // (0, the default: as created).
    void setSocketMode(mode_t mode);

    std::atomic<bool> running_{false};
    std::string socket_path_;
    int server_fd_ = -1;
    std::thread server_thread_;
    std::vector<int> clients_;
    std::mutex clients_mutex_;

private:
    using TimePoint = std::chrono::steady_clock::time_point;

    // The message a client is in the middle of sending.
    struct Inbox {
        velantis::MessageHeader header{};
        size_t header_bytes = 0;
        std::vector<uint8_t> payload;  // grows as the bytes arrive
        TimePoint begun{};             // arrival of its first byte (serving time)
        bool ended = false;            // the client has finished sending; kept for its replies

        // Receives without waiting more of this message, never beyond its end: the
        // number of bytes taken, 0 at the end of the stream, -1 (errno set) on failure.
        ssize_t receive(int fd);
        bool started() const { return header_bytes != 0; }
        bool headerWhole() const { return header_bytes == sizeof(header); }
        bool whole() const { return headerWhole() && payload.size() == header.length; }
    };
    // Messages accepted for a client and not yet taken by it.
    struct Outbox {
        std::deque<std::vector<uint8_t>> messages;  // whole messages; the front one partly sent
        size_t front_sent = 0;
        size_t bytes = 0;        // bytes still to send
        TimePoint progressed{};  // the client last took bytes, or the queue began (serving time)
        bool failed = false;     // dropped: refuses messages until the client is removed
        bool peer_done = false;  // the client has finished sending: its leaving is no failure
    };
    struct IoSets;

    bool startFailed(StartFailure::Step step, std::string reason = {});
    bool createSocket();
    bool socketFailed(const char* step, const std::string& reason);
    bool createWakeup();
    void serverLoop();
    void prepareIoSets(IoSets& sets);
    void serveReady(const IoSets& sets);
    void acceptNewClient();
    bool acceptPaused();
    bool keepsReserve(int client_fd);
    void handleClientIo(const fd_set& read_set);
    bool readFromClient(int client_fd);
    bool lingerForReplies(int client_fd, Inbox& inbox);
    void warnIncomplete(int client_fd, const Inbox& inbox);
    void flushQueues(const fd_set& write_set);
    void flushOutbox(int client_fd, Outbox& outbox);
    void failOutbox(Outbox& outbox);
    void dropStalledClients();
    std::vector<int> expiredInboxes();
    void removeFailedClients();
    void flushBeforeClose();
    TimePoint servingNow() const;
    // Runs a handler or hook; on the server thread its time goes to busy_ns_.
    template <typename Fn>
    void timed(Fn&& fn);
    void closeClient(int client_fd);
    void dropClientLocked(int client_fd);
    bool forgetClientLocked(int client_fd);
    void announceRemoval(int client_fd);
    void wakeServerThread();
    void cleanup();
    bool endServerThread();
    void closeAll();
    void closeDroppedLocked();

    StartFailure start_failure_;
    mode_t socket_mode_ = 0;
    int descriptor_reserve_ = 0;
    // Time the server thread has spent in handlers and hooks, in nanoseconds. A client's
    // time-outs run on the steady clock minus this ("serving time").
    std::atomic<int64_t> busy_ns_{0};
    // Failed accepts (server thread): the listening socket rests until accept_resume_
    // after a lack of descriptors or memory, and the failure is logged at most once per
    // interval, with the number of those not logged.
    TimePoint accept_resume_{};
    TimePoint accept_logged_{};
    size_t accept_unlogged_ = 0;
    // Guarded by clients_mutex_, like clients_.
    std::map<int, Inbox> inboxes_;
    // Guarded by send_mutex_, taken after clients_mutex_ where both are held. Every write
    // to a client goes through its outbox under this lock, so messages never interleave.
    std::map<int, Outbox> outboxes_;
    std::mutex send_mutex_;
    // Written to when a client's queue begins or a client fails, so that the server
    // thread watches it (guarded by send_mutex_ outside the server thread).
    int wake_fd_ = -1;
    // Held for the whole of the stop steps: a second stop, the destructor and the
    // end of run() wait until the first stop has finished with the object.
    std::mutex stop_mutex_;
    // Clients that a broadcast dropped: shut down but still open, so that the
    // number is not reused while the server thread may still hold it; the
    // server thread closes them (guarded by clients_mutex_).
    std::vector<int> dropped_;
};
