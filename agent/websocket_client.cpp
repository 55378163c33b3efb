#include "agent/websocket_client.h"

#include <openssl/crypto.h>
#include <zlib.h>
#include <boost/beast/version.hpp>

#include <strings.h>
#include <atomic>
#include <system_error>
#include <thread>
#include <utility>

#include "agent/websocket_connection.h"
#include "agent/websocket_queues.h"

namespace velantis::net {

namespace {

// Frames waiting to be written; beyond this send() refuses more.
constexpr size_t kMaxPendingBytes = 8u * 1024u * 1024u;
// Records not yet handed to the callback, at what they cost in memory; beyond this the
// connection stops reading (TCP holds the peer back) until the callback has caught up.
constexpr size_t kMaxUndeliveredBytes = 32u * 1024u * 1024u;
// Pings and pongs among them; beyond this more are not handed over (pings are still answered).
constexpr size_t kMaxUndeliveredControlBytes = 1024u * 1024u;

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

bool initNetSystem() { return true; }

void uninitNetSystem() {}

std::string userAgent() {
    std::string ua = "velantis-websocket/1.0 linux ssl/";
    ua += OpenSSL_version(OPENSSL_VERSION);
    ua += " zlib ";
    ua += zlibVersion();
    ua += " beast/" + std::to_string(BOOST_BEAST_VERSION);
    return ua;
}

struct WebSocket::CallbackSlot {
    std::mutex mutex;
    std::shared_ptr<OnMessageCallback> callback;

    std::shared_ptr<OnMessageCallback> get() {
        std::lock_guard<std::mutex> lock(mutex);
        return callback;
    }
};

struct WebSocket::Session {
    std::shared_ptr<detail::Outbox> outbox = std::make_shared<detail::Outbox>(kMaxPendingBytes);
    std::shared_ptr<detail::Inbox> inbox = std::make_shared<detail::Inbox>(kMaxUndeliveredBytes,
                                                                           kMaxUndeliveredControlBytes);
    std::shared_ptr<detail::Connection> connection;
    std::thread io;
    std::thread dispatcher;
    std::atomic<std::thread::id> dispatcherId{};

    // Hands the records to the callback until the connection has ended and all are out.
    void dispatch(const std::shared_ptr<CallbackSlot>& slot) {
        dispatcherId = std::this_thread::get_id();
        while (WebSocketMessagePtr msg = inbox->pop()) {
            auto callback = slot->get();
            if (!callback || !*callback) continue;
            try {
                (*callback)(msg);
            } catch (...) {
                // A throwing callback must not take the dispatcher down.
            }
        }
    }
};

WebSocket::WebSocket() : callback_(std::make_shared<CallbackSlot>()) {}

WebSocket::~WebSocket() {
    stop();
    // Destroyed inside its own callback: the threads end on their own.
    std::lock_guard<std::mutex> lock(mutex_);
    if (session_) {
        if (session_->io.joinable()) session_->io.detach();
        if (session_->dispatcher.joinable()) session_->dispatcher.detach();
    }
}

void WebSocket::setUrl(const std::string& url) {
    std::lock_guard<std::mutex> lock(mutex_);
    url_ = url;
}

void WebSocket::setExtraHeaders(const WebSocketHttpHeaders& headers) {
    std::lock_guard<std::mutex> lock(mutex_);
    extraHeaders_ = headers;
}

void WebSocket::disableAutomaticReconnection() {}

void WebSocket::setOnMessageCallback(const OnMessageCallback& callback) {
    auto cb = std::make_shared<OnMessageCallback>(callback);
    std::lock_guard<std::mutex> lock(callback_->mutex);
    callback_->callback = std::move(cb);
}

bool WebSocket::start(std::string* error) {
    {
        // Inside the callback its session is still running: nothing to do, and waiting for
        // a stop() that joins this very thread would never end.
        std::lock_guard<std::mutex> lock(mutex_);
        if (session_ && session_->dispatcherId.load() == std::this_thread::get_id()) return true;
    }
    std::lock_guard<std::mutex> stopLock(stopMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (session_) return true;  // the earlier session has not been joined
    try {
        // The I/O context alone takes three descriptors; the TLS context, memory.
        auto session = std::make_shared<Session>();
        session->connection = detail::makeConnection(url_, extraHeaders_, session->outbox, session->inbox);
        std::weak_ptr<detail::Connection> weak = session->connection;
        session->inbox->setResume([weak] {
            if (auto connection = weak.lock()) connection->resumeReading();
        });
        session->dispatcher = std::thread([session, slot = callback_] { session->dispatch(slot); });
        try {
            session->io = std::thread([session] { session->connection->run(); });
        } catch (...) {
            session->inbox->finish();
            session->dispatcher.join();
            throw;
        }
        session_ = std::move(session);
        return true;
    } catch (const std::exception& e) {
        // Nothing was left running: the state stays closed.
        if (error != nullptr) *error = e.what();
        return false;
    }
}

void WebSocket::stop(uint16_t code, const std::string& reason) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        session = session_;
    }
    if (!session) return;
    session->inbox->discardMessages();
    session->connection->requestClose(code, reason);
    if (std::this_thread::get_id() == session->dispatcherId.load()) return;  // inside the callback

    std::lock_guard<std::mutex> stopLock(stopMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (session_ != session) return;  // another stop() joined it meanwhile
    }
    session->io.join();
    session->dispatcher.join();
    std::lock_guard<std::mutex> lock(mutex_);
    session_.reset();
}

WebSocketSendInfo WebSocket::send(const std::string& data, bool binary) {
    WebSocketSendInfo info;
    std::shared_ptr<Session> session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        session = session_;
    }
    if (!session) return info;
    switch (session->outbox->push(data, binary)) {
    case detail::Outbox::Push::Refused:
    case detail::Outbox::Push::Full:
        return info;
    case detail::Outbox::Push::WakeWriter:
        session->connection->wakeWriter();
        break;
    case detail::Outbox::Push::Queued:
        break;
    }
    info.success = true;
    return info;
}

ReadyState WebSocket::getReadyState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_) return ReadyState::Closed;
    return session_->connection->state();
}

}  // namespace velantis::net
