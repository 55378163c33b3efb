// The agent's WebSocket client started on a URL with its records collected, for the suites
// that drive it against the fake cloud.
#pragma once

#include "agent/websocket_client.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace websocket_recorder {

using velantis::net::WebSocket;
using velantis::net::WebSocketMessagePtr;
using velantis::net::WebSocketMessageType;

inline const std::string kToken = "bravo_key92";

struct Event : velantis::net::WebSocketMessage {
    std::thread::id thread;
};

// Collects the client's records.
class Recorder {
public:
    // Every record goes to `first` (when given), then here.
    void attach(WebSocket& ws, const std::function<void(const WebSocketMessagePtr&)>& first = {}) {
        ws.setOnMessageCallback([this, first](const WebSocketMessagePtr& m) {
            if (first) first(m);
            add(m);
        });
    }
    void add(const WebSocketMessagePtr& m) {
        std::lock_guard<std::mutex> lock(m_);
        events_.push_back(Event{{*m}, std::this_thread::get_id()});
        cv_.notify_all();
    }
    std::vector<Event> events() {
        std::lock_guard<std::mutex> lock(m_);
        return events_;
    }
    std::vector<Event> of(WebSocketMessageType t) {
        std::vector<Event> out;
        for (auto& e : events())
            if (e.type == t) out.push_back(e);
        return out;
    }
    bool waitFor(WebSocketMessageType t, size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, timeout, [&] {
            return std::count_if(events_.begin(), events_.end(), [&](const Event& e) { return e.type == t; }) >=
                   static_cast<long>(count);
        });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Event> events_;
};

// Starts `ws` on `url`, never reconnecting; its records go to `first` (when given), then to `rec`.
inline void start(WebSocket& ws, const std::string& url, Recorder& rec,
                  const std::function<void(const WebSocketMessagePtr&)>& first = {},
                  const std::string& token = kToken) {
    ws.setUrl(url);
    ws.disableAutomaticReconnection();
    ws.setExtraHeaders({{"authorization", token}});
    rec.attach(ws, first);
    ws.start();
}

}  // namespace websocket_recorder
