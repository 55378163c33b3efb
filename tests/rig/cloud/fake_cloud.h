// A fake cloud conversation service for tests: a TLS WebSocket server on 127.0.0.1.
// It records every handshake and every frame the client sends, and sends what the test
// queues or what its rules say when an event arrives.
#pragma once

#include <strings.h>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace cloud_rig {

using Clock = std::chrono::steady_clock;

struct CloudCertificates {
    std::string dir;
    std::string caFile;    // the throw-away CA: give it to the client as SSL_CERT_FILE
    std::string certFile;  // server certificate
    std::string keyFile;   // server key
};

// Makes a throw-away CA and a server certificate for `host` (and 127.0.0.1 when host is
// "localhost") in dir with the openssl command line. Throws std::runtime_error on failure.
CloudCertificates makeCloudCertificates(const std::string& dir, const std::string& host = "localhost");

struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
};

struct Handshake {
    int connection = 0;  // 1 for the first TCP connection, then 2, ...
    Clock::time_point at;
    std::string target;  // path and query as sent
    std::string path;
    std::string query;
    std::map<std::string, std::string, NoCaseLess> headers;
    bool accepted = false;  // false: refused with an HTTP error status
};

enum class FrameKind { Text, Binary, Ping, Pong, Close };

struct ReceivedFrame {
    int connection = 0;
    Clock::time_point at;
    FrameKind kind = FrameKind::Text;
    std::string data;         // text, binary payload, ping payload
    uint16_t closeCode = 0;   // Close
    std::string closeReason;  // Close
};

struct CloudAction {
    enum class Kind { Text, Binary, Ping, Close, Drop, Wait, CloseSilent, StopReading, Reset, StallInText, PingFlood };
    Kind kind = Kind::Text;
    std::string data;  // payload or close reason
    uint16_t code = 0;
    int n = 0;  // Wait: milliseconds; PingFlood: pings

    static CloudAction text(std::string s) { return {Kind::Text, std::move(s), 0, 0}; }
    static CloudAction binary(std::string s) { return {Kind::Binary, std::move(s), 0, 0}; }
    static CloudAction ping(std::string s = {}) { return {Kind::Ping, std::move(s), 0, 0}; }
    static CloudAction close(uint16_t code, std::string reason) { return {Kind::Close, std::move(reason), code, 0}; }
    static CloudAction drop() { return {Kind::Drop, {}, 0, 0}; }  // closes TCP without a close frame
    static CloudAction wait(int ms) { return {Kind::Wait, {}, 0, ms}; }
    // Misbehaving peers. A close frame, then neither reading nor closing.
    static CloudAction closeSilently(uint16_t code, std::string reason) {
        return {Kind::CloseSilent, std::move(reason), code, 0};
    }
    // Reads nothing more (TCP still takes what fits in its buffers); the connection stays up.
    static CloudAction stopReading() { return {Kind::StopReading, {}, 0, 0}; }
    // The first bytes of a binary frame, then a TCP reset.
    static CloudAction reset() { return {Kind::Reset, {}, 0, 0}; }
    // The start of a text frame that ends in the first two bytes of a four-byte character,
    // then nothing more of it. The session still reads and answers a close with its own,
    // whose bytes the client takes for the rest of the frame: invalid UTF-8.
    static CloudAction stallInText() { return {Kind::StallInText, {}, 0, 0}; }
    // `count` empty pings, one after another as fast as the client takes them.
    static CloudAction pingFlood(int count) { return {Kind::PingFlood, {}, 0, count}; }
};

// Connections that go silent before the WebSocket opens: the TCP connection is accepted,
// then nothing is ever said (BeforeTls) or the upgrade request is read and never answered
// (BeforeUpgrade). Either stays open until the client gives up or the cloud stops.
enum class CloudSilence { None, BeforeTls, BeforeUpgrade };

// When: Open = handshake accepted; Hello = a text frame holding JSON with "type":"hello";
// Text / Binary = any frame of that kind (a hello is also a Text).
enum class CloudTrigger { Open, Hello, Text, Binary };

struct CloudRule {
    CloudTrigger on = CloudTrigger::Open;
    int nth = 0;  // 0: every such event; n: only the n-th of the connection (1-based)
    std::vector<CloudAction> actions;
    int connection = 0;  // 0: every connection; n: only the n-th TCP connection
};

class FakeCloud {
public:
    struct Options {
        std::string certFile;
        std::string keyFile;
        // Non-empty: a handshake whose "authorization" header differs is refused with 401.
        std::string requiredAuthorization;
        bool deflate = true;  // accept per-message deflate when offered
        uint16_t port = 0;    // 0: any free port
        std::string logFile;  // non-empty: every event is appended as one line
        // False: pings and pongs received are only counted, not kept (and not logged).
        bool keepControlFrames = true;
    };

    explicit FakeCloud(Options options);
    ~FakeCloud();
    FakeCloud(const FakeCloud&) = delete;
    FakeCloud& operator=(const FakeCloud&) = delete;

    // Listens on 127.0.0.1 and serves on a thread of its own. False (with `error()`) on failure.
    bool start();
    void stop();
    std::string error() const;
    uint16_t port() const;
    // "wss://localhost:<port>" followed by path_and_query.
    std::string url(const std::string& pathAndQuery = "/") const;

    // Rules apply to every connection, in the order added; actions of one connection run
    // one after another.
    void addRule(CloudRule rule);
    void on(CloudTrigger trigger, std::vector<CloudAction> actions) { addRule({trigger, 0, std::move(actions)}); }
    // Silence for the n-th TCP connection (0: every later one).
    void silence(CloudSilence mode, int connection = 0);

    // Queue actions on the latest connection (false when there is none open).
    bool act(std::vector<CloudAction> actions);
    bool sendText(const std::string& text) { return act({CloudAction::text(text)}); }
    bool sendBinary(const std::string& data) { return act({CloudAction::binary(data)}); }
    bool sendPing(const std::string& payload = {}) { return act({CloudAction::ping(payload)}); }
    bool sendClose(uint16_t code, const std::string& reason) { return act({CloudAction::close(code, reason)}); }
    bool dropConnection() { return act({CloudAction::drop()}); }

    std::vector<Handshake> handshakes() const;
    std::vector<ReceivedFrame> frames() const;
    std::vector<ReceivedFrame> frames(FrameKind kind, int connection = 0) const;  // 0: of every connection
    size_t count(FrameKind kind) const;  // frames of that kind received, kept or not
    int connectionCount() const;         // TCP connections accepted so far
    int openConnections() const;         // handshakes accepted whose connection has not ended
    // When the n-th connection (1-based) was accepted: just before its 101 answer went out,
    // so before the client can see it open.
    Clock::time_point openedAt(int connection) const;

    // Polls `done` until true or the timeout passes; returns its last value.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) const;
    bool waitForFrames(size_t count, std::chrono::milliseconds timeout) const;
    bool waitForHandshakes(size_t count, std::chrono::milliseconds timeout) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace cloud_rig
