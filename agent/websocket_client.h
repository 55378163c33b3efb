// Secure WebSocket client of the agent (TLS, per-message deflate), built on Boost.Beast.
//
// One connection thread per start(): it resolves, connects, does TLS (system trust store,
// host-name verification, SNI) and the WebSocket handshake, then hands every event to the
// message callback on that thread, one at a time. No automatic reconnection.
// The trust store is OpenSSL's default one; SSL_CERT_FILE / SSL_CERT_DIR override it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

enum class WebSocketMessageType : int {
    Message = 0,
    Open = 1,
    Close = 2,
    Error = 3,
    Ping = 4,
    Pong = 5,
    Fragment = 6
};

struct WebSocketOpenInfo {
    std::string uri;               // request target (path and query)
    WebSocketHttpHeaders headers;  // the server's handshake response headers
    std::string protocol;          // negotiated sub-protocol, empty when none
};

struct WebSocketCloseInfo {
    uint16_t code = 0;
    std::string reason;
    bool remote = false;  // true when the peer closed or the connection was lost
};

struct WebSocketErrorInfo {
    uint32_t retries = 0;
    double wait_time = 0;
    int http_status = 0;  // the handshake response's status when the server refused the upgrade
    std::string reason;
    bool decompressionError = false;
};

struct WebSocketMessage {
    WebSocketMessageType type = WebSocketMessageType::Message;
    std::string str;       // payload (message, ping, pong)
    size_t wireSize = 0;   // payload size in bytes
    bool binary = false;   // message: binary frame rather than text
    WebSocketOpenInfo openInfo;
    WebSocketCloseInfo closeInfo;
    WebSocketErrorInfo errorInfo;
};

using WebSocketMessagePtr = std::unique_ptr<WebSocketMessage>;
using OnMessageCallback = std::function<void(const WebSocketMessagePtr&)>;

struct WebSocketSendInfo {
    bool success = false;  // queued on an open connection
    bool compressionError = false;
    size_t payloadSize = 0;
    size_t wireSize = 0;
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

    // Starts a connection thread. Does nothing while the thread of an earlier start()
    // has not been joined by stop().
    void start();
    // Sends a close frame with code and reason when open, then joins the connection
    // thread: returns once the callback in hand has returned. Called from the
    // connection thread itself (inside the callback) it only starts the close.
    void stop(uint16_t code = WebSocketCloseConstants::kNormalClosureCode,
              const std::string& reason = WebSocketCloseConstants::kNormalClosureMessage);

    // Queues one frame; safe from any thread. Fails when the connection is not open
    // or too much is already waiting to be written.
    WebSocketSendInfo send(const std::string& data, bool binary = false);
    WebSocketSendInfo sendText(const std::string& text) { return send(text, false); }
    WebSocketSendInfo sendBinary(const std::string& data) { return send(data, true); }

    ReadyState getReadyState() const;
    std::string getUrl() const;

    struct Connection;  // one start(): its thread, I/O context and stream

private:
    mutable std::mutex mutex_;
    std::string url_;
    WebSocketHttpHeaders extraHeaders_;
    std::shared_ptr<OnMessageCallback> callback_;
    std::shared_ptr<Connection> connection_;  // set from start() until stop() joins it
    std::thread thread_;
    std::mutex stopMutex_;  // one stop() at a time
};

}  // namespace velantis::net
