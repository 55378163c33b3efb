// The two queues between a WebSocket's users and its connection thread.
//
// Outbox: frames from send(), in the order of the calls, whatever thread made them; the
// connection thread takes them one by one. Inbox: records for the message callback; the
// dispatcher thread hands them over one at a time, so the connection thread never waits
// on user code. Both are bounded.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "agent/websocket_client.h"

namespace velantis::net::detail {

struct OutFrame {
    std::string data;
    bool binary = false;
};

class Outbox {
public:
    explicit Outbox(size_t maxBytes) : maxBytes_(maxBytes) {}

    enum class Push {
        Refused,     // not open
        Full,        // open, but maxBytes already wait
        Queued,      // the writer is busy and will take it
        WakeWriter,  // the writer is idle: the caller must wake it
    };

    Push push(const std::string& data, bool binary) {
        std::lock_guard<std::mutex> lock(m_);
        if (!open_) return Push::Refused;
        if (bytes_ + data.size() > maxBytes_ && !frames_.empty()) return Push::Full;
        frames_.push_back({data, binary});
        bytes_ += data.size();
        if (!writerIdle_) return Push::Queued;
        writerIdle_ = false;
        return Push::WakeWriter;
    }

    // Writer side. False when nothing waits: the writer is idle until the next push wakes it.
    bool pop(OutFrame& out) {
        std::lock_guard<std::mutex> lock(m_);
        if (frames_.empty() || !open_) {
            writerIdle_ = true;
            return false;
        }
        out = std::move(frames_.front());
        frames_.pop_front();
        bytes_ -= out.data.size();
        return true;
    }

    // Frames are taken from now on (the connection is open).
    void open() {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
    }

    // Frames are refused from now on; those still waiting are dropped.
    void close() {
        std::lock_guard<std::mutex> lock(m_);
        open_ = false;
        frames_.clear();
        bytes_ = 0;
    }

private:
    std::mutex m_;
    std::deque<OutFrame> frames_;
    size_t bytes_ = 0;
    const size_t maxBytes_;
    bool open_ = false;
    bool writerIdle_ = true;
};

// What a waiting record costs in memory: the record with its allocation, its slot in the
// queue, and its payload's own allocation when the payload does not fit in the string.
inline size_t recordCost(const WebSocketMessage& msg) {
    constexpr size_t kAllocationOverhead = 16;
    size_t cost = sizeof(WebSocketMessage) + kAllocationOverhead + sizeof(WebSocketMessagePtr);
    if (msg.str.capacity() > std::string().capacity()) cost += msg.str.capacity() + 1 + kAllocationOverhead;
    return cost;
}

class Inbox {
public:
    // maxBytes bounds what all waiting records cost, maxControlBytes what the pings and
    // pongs among them cost.
    Inbox(size_t maxBytes, size_t maxControlBytes) : maxBytes_(maxBytes), maxControlBytes_(maxControlBytes) {}

    // Connection side. False once the records waiting cost maxBytes: the reader pauses until
    // the resume hook runs. A ping or pong that would take its kind past maxControlBytes is
    // dropped: the reader cannot pause inside a message, where they may keep coming.
    bool push(WebSocketMessagePtr msg) {
        std::lock_guard<std::mutex> lock(m_);
        if (discarding_ && droppable(*msg)) return true;
        const size_t cost = recordCost(*msg);
        if (isControl(*msg)) {
            if (controlBytes_ + cost > maxControlBytes_) return true;
            controlBytes_ += cost;
        }
        bytes_ += cost;
        records_.push_back(std::move(msg));
        ready_.notify_one();
        if (bytes_ < maxBytes_) return true;
        paused_ = true;
        return false;
    }

    // No record follows those already pushed.
    void finish() {
        std::lock_guard<std::mutex> lock(m_);
        finished_ = true;
        ready_.notify_one();
    }

    // Messages, pings and pongs still waiting or still to come are dropped; the final
    // close or error record still passes.
    void discardMessages() {
        std::lock_guard<std::mutex> lock(m_);
        discarding_ = true;
        for (auto it = records_.begin(); it != records_.end();) {
            if (droppable(**it)) {
                release(**it);
                it = records_.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Runs (on the dispatcher thread) when a paused reader may go on.
    void setResume(std::function<void()> resume) {
        std::lock_guard<std::mutex> lock(m_);
        resume_ = std::move(resume);
    }

    // Dispatcher side: the next record, or null once finished and empty.
    WebSocketMessagePtr pop() {
        std::function<void()> resume;
        WebSocketMessagePtr msg;
        {
            std::unique_lock<std::mutex> lock(m_);
            ready_.wait(lock, [this] { return !records_.empty() || finished_; });
            if (records_.empty()) return nullptr;
            msg = std::move(records_.front());
            records_.pop_front();
            release(*msg);
            if (paused_ && bytes_ < maxBytes_ / 2) {
                paused_ = false;
                resume = resume_;
            }
        }
        if (resume) resume();
        return msg;
    }

private:
    static bool isControl(const WebSocketMessage& msg) {
        return msg.type == WebSocketMessageType::Ping || msg.type == WebSocketMessageType::Pong;
    }

    static bool droppable(const WebSocketMessage& msg) {
        return msg.type == WebSocketMessageType::Message || isControl(msg);
    }

    // A record leaves the queue (under m_).
    void release(const WebSocketMessage& msg) {
        const size_t cost = recordCost(msg);
        bytes_ -= cost;
        if (isControl(msg)) controlBytes_ -= cost;
    }

    std::mutex m_;
    std::condition_variable ready_;
    std::deque<WebSocketMessagePtr> records_;
    size_t bytes_ = 0;
    size_t controlBytes_ = 0;
    const size_t maxBytes_;
    const size_t maxControlBytes_;
    bool paused_ = false;
    bool finished_ = false;
    bool discarding_ = false;
    std::function<void()> resume_;
};

}  // namespace velantis::net::detail
