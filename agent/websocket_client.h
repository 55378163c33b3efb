// Secure WebSocket client of the agent (TLS, per-message deflate), built on Boost.Beast.
//
// Each start() runs two threads until stop() joins them: the connection thread resolves
// (the name look-up itself on a short-lived thread of its own), connects, does TLS (system
// trust store, host-name verification, SNI) and the WebSocket handshake, then reads and
// writes; the dispatcher thread hands the records to the message callback, one at a time
// and in order. A callback may take seconds (received speech is played inside it):
// reading, writing and close handshakes go on meanwhile, so what send() queues from any
// thread is written without waiting for the callback. Records wait for a slow callback
// within bounds: at 32 MiB the connection stops reading, and pings and pongs beyond 1 MiB
// of them are not handed over (pings are still answered). Setting up and closing a
// connection have time limits (websocket_connection.h); an open connection has none and
// stays open while the peer is silent. No automatic reconnection.
// The trust store is OpenSSL's default one; SSL_CERT_FILE / SSL_CERT_DIR override it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace velantis::net {

// Nothing to set up on Linux; kept so callers can pair them.
bool initNetSystem();
void uninitNetSystem();

// Library name and versions of the TLS and compression libraries beneath it.
std::string userAgent();

struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

// Header names compare without regard to case.
using WebSocketHttpHeaders = std::map<std::string, std::string, CaseInsensitiveLess>;

enum class ReadyState : int { Connecting = 0, Open = 1, Closing = 2, Closed = 3 };

enum class WebSocketMessageType : int { Message = 0, Open = 1, Close = 2, Error = 3, Ping = 4, Pong = 5 };

struct WebSocketOpenInfo {
    std::string uri;               // request target (path and query)
    WebSocketHttpHeaders headers;  // the server's handshake response headers
};

struct WebSocketCloseInfo {
    uint16_t code = 0;
    std::string reason;
    bool remote = false;  // true when the peer closed or the connection was lost
};

struct WebSocketErrorInfo {
    int http_status = 0;  // the handshake response's status when the server refused the upgrade
    std::string reason;
};

struct WebSocketMessage {
    WebSocketMessageType type = WebSocketMessageType::Message;
    std::string str;      // payload (message, ping, pong)
    size_t wireSize = 0;  // payload size in bytes
    bool binary = false;  // message: binary frame rather than text
    WebSocketOpenInfo openInfo;
    WebSocketCloseInfo closeInfo;
    WebSocketErrorInfo errorInfo;
};

using WebSocketMessagePtr = std::unique_ptr<WebSocketMessage>;
using OnMessageCallback = std::function<void(const WebSocketMessagePtr&)>;

struct WebSocketSendInfo {
    bool success = false;  // queued on an open connection (false too when the queue is full)
};

struct WebSocketCloseConstants {
    static constexpr uint16_t kNormalClosureCode = 1000;
    static constexpr uint16_t kAbnormalCloseCode = 1006;
    static constexpr const char* kNormalClosureMessage = "Normal closure";
    static constexpr const char* kAbnormalCloseMessage = "Abnormal closure";
};

class WebSocket {
public:
    WebSocket();
    ~WebSocket();  // stop()
    WebSocket(const WebSocket&) = delete;
    WebSocket& operator=(const WebSocket&) = delete;

    // wss://host[:port]/path?query (port 443 when absent). Taken by the next start().
    void setUrl(const std::string& url);
    void setExtraHeaders(const WebSocketHttpHeaders& headers);
    // Reconnection is never automatic; kept for callers that say so.
    void disableAutomaticReconnection();
    // Safe while a connection runs: the next event goes to the new callback.
    void setOnMessageCallback(const OnMessageCallback& callback);

    // Starts a connection. Does nothing while the threads of an earlier start() have not
    // been joined by stop(). False, with the reason in *error, when the connection cannot
    // even be set up (no descriptor, thread or memory for it): nothing runs then, the state
    // stays closed and no record reaches the callback. Never throws.
    bool start(std::string* error = nullptr);
    // Sends a close frame with code and reason when open (or drops a connection still being
    // set up), drops the messages not yet handed to the callback, then joins both threads:
    // returns once the close has ended (3 s at most, whatever the peer does) and the callback
    // in hand has returned, after the final close record. Called inside the callback it only
    // starts the close; a later stop() joins.
    void stop(uint16_t code = WebSocketCloseConstants::kNormalClosureCode,
              const std::string& reason = WebSocketCloseConstants::kNormalClosureMessage);

    // Queues one frame, never waiting on the network; safe from any thread, and frames go
    // out in the order of the calls. Fails when the connection is not open or 8 MiB are
    // already waiting to be written.
    WebSocketSendInfo send(const std::string& data, bool binary = false);

    ReadyState getReadyState() const;

    struct Session;       // one start(): the connection, its queues and its two threads
    struct CallbackSlot;  // the callback, shared with the dispatcher thread

private:
    mutable std::mutex mutex_;
    std::string url_;
    WebSocketHttpHeaders extraHeaders_;
    std::shared_ptr<CallbackSlot> callback_;
    std::shared_ptr<Session> session_;  // set from start() until stop() joins it
    std::mutex stopMutex_;              // one stop() at a time
};

}  // namespace velantis::net
