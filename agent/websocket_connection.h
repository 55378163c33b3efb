// One connection of the WebSocket: resolve, TCP, TLS, WebSocket handshake, then reading
// and writing until it ends. It runs on the connection thread inside run(), except the
// name look-up (getaddrinfo), which gets a thread of its own that is left behind if the
// resolver never answers; the other members may be called from any thread.
// Time limits while setting up and closing:
//   resolving, the TCP connect, the TLS handshake, the WebSocket handshake: 10 s each;
//   a close handshake (ours or the peer's) with the TLS shutdown after it: 3 s.
// An open connection has none (no idle time-out, no keep-alive pings): it waits for the
// peer's frames and for its own writes until a close or an error ends it.
// Records for the user go to the Inbox; frames to write come from the Outbox.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "agent/websocket_client.h"
#include "agent/websocket_queues.h"

namespace velantis::net::detail {

class Connection {
public:
    virtual ~Connection() = default;

    // Runs the connection on the calling thread; returns once it has ended (its final record
    // is out), dropping the operations still pending.
    virtual void run() = 0;
    // Starts the close: a close frame when open, the socket dropped while connecting.
    virtual void requestClose(uint16_t code, const std::string& reason) = 0;
    // Frames wait in the Outbox and the writer is idle.
    virtual void wakeWriter() = 0;
    // A reader paused by a full Inbox may go on.
    virtual void resumeReading() = 0;
    virtual ReadyState state() const = 0;
};

std::shared_ptr<Connection> makeConnection(const std::string& url, const WebSocketHttpHeaders& headers,
                                           std::shared_ptr<Outbox> outbox, std::shared_ptr<Inbox> inbox);

}  // namespace velantis::net::detail
