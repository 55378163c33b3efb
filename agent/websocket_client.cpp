#include "websocket_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/version.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <strings.h>
#include <utility>

namespace velantis::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = boost::asio::ssl;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;

namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr auto kHandshakeTimeout = std::chrono::seconds(10);
constexpr auto kCloseTimeout = std::chrono::seconds(5);
// Frames waiting to be written; beyond this send() refuses more.
constexpr size_t kMaxPendingBytes = 8u * 1024u * 1024u;
constexpr size_t kMaxMessageBytes = 16u * 1024u * 1024u;

struct ParsedUrl {
    bool ok = false;
    std::string host;
    std::string port = "443";
    std::string target = "/";
    std::string error;
};

ParsedUrl parseUrl(const std::string& url) {
    ParsedUrl out;
    const std::string scheme = "wss://";
    if (url.size() < scheme.size() || strncasecmp(url.c_str(), scheme.c_str(), scheme.size()) != 0) {
        out.error = "Invalid URL (expected wss://host[:port]/path): " + url;
        return out;
    }
    std::string rest = url.substr(scheme.size());
    size_t slash = rest.find_first_of("/?");
    std::string authority = rest.substr(0, slash);
    if (slash != std::string::npos) {
        out.target = rest.substr(slash);
        if (out.target[0] == '?') out.target = "/" + out.target;
    }
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {  // [v6 address]:port
        size_t close = authority.find(']');
        if (close == std::string::npos) {
            out.error = "Invalid URL host: " + url;
            return out;
        }
        out.host = authority.substr(1, close - 1);
        std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                out.error = "Invalid URL host: " + url;
                return out;
            }
            portText = after.substr(1);
        }
    } else {
        size_t colon = authority.find(':');
        out.host = authority.substr(0, colon);
        if (colon != std::string::npos) portText = authority.substr(colon + 1);
    }
    if (out.host.empty()) {
        out.error = "Invalid URL, no host: " + url;
        return out;
    }
    if (!portText.empty() || authority.find(':') != std::string::npos) {
        bool digits = !portText.empty() && portText.size() <= 5 &&
                      portText.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoul(portText) == 0 || std::stoul(portText) > 65535) {
            out.error = "Invalid URL port: " + url;
            return out;
        }
        out.port = portText;
    }
    out.ok = true;
    return out;
}

bool isIpLiteral(const std::string& host) {
    boost::system::error_code ec;
    asio::ip::make_address(host, ec);
    return !ec;
}

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

// Everything of one start(). All members but the atomics are used on the connection thread only.
struct WebSocket::Connection : std::enable_shared_from_this<WebSocket::Connection> {
    using Stream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

    Connection(WebSocket& owner, ParsedUrl url, std::string fullUrl, WebSocketHttpHeaders headers)
        : owner(owner), url(std::move(url)), fullUrl(std::move(fullUrl)), headers(std::move(headers)) {}

    WebSocket& owner;
    const ParsedUrl url;
    const std::string fullUrl;
    const WebSocketHttpHeaders headers;

    std::atomic<int> state{static_cast<int>(ReadyState::Connecting)};
    std::atomic<size_t> pendingBytes{0};
    std::atomic<std::thread::id> threadId{};

    // Declared before the context: handlers the context still holds may own TLS streams.
    ssl::context tls{ssl::context::tls_client};
    asio::io_context ioc{1};
    tcp::resolver resolver{ioc};
    // Our own time limit on the WebSocket handshakes: Beast's would keep the context busy
    // after a failed handshake.
    asio::steady_timer guard{ioc};
    std::unique_ptr<Stream> ws;
    beast::flat_buffer buffer;
    websocket::response_type response;

    std::deque<std::pair<std::string, bool>> queue;
    bool writing = false;
    bool stopRequested = false;
    bool finished = false;  // the final close or error record has been delivered
    uint16_t closeCode = WebSocketCloseConstants::kNormalClosureCode;
    std::string closeReason = WebSocketCloseConstants::kNormalClosureMessage;

    void setState(ReadyState s) { state.store(static_cast<int>(s)); }
    ReadyState getState() const { return static_cast<ReadyState>(state.load()); }

    void deliver(const WebSocketMessagePtr& msg) {
        std::shared_ptr<OnMessageCallback> cb;
        {
            std::lock_guard<std::mutex> lock(owner.mutex_);
            cb = owner.callback_;
        }
        if (!cb || !*cb) return;
        try {
            (*cb)(msg);
        } catch (...) {
            // A throwing callback must not take the connection thread down.
        }
    }

    void fail(const std::string& reason, int httpStatus = 0) {
        teardown();
        if (finished) return;
        finished = true;
        auto msg = std::make_unique<WebSocketMessage>();
        msg->type = WebSocketMessageType::Error;
        msg->errorInfo.reason = reason;
        msg->errorInfo.http_status = httpStatus;
        deliver(msg);
    }

    void closed(uint16_t code, const std::string& reason, bool remote, const std::string& error) {
        teardown();
        if (finished) return;
        finished = true;
        auto msg = std::make_unique<WebSocketMessage>();
        msg->type = WebSocketMessageType::Close;
        msg->closeInfo.code = code;
        msg->closeInfo.reason = reason;
        msg->closeInfo.remote = remote;
        msg->errorInfo.reason = error;
        deliver(msg);
    }

    // Drops the socket and every pending operation; the thread ends once handlers have run.
    void teardown() {
        setState(ReadyState::Closed);
        resolver.cancel();
        guard.cancel();
        if (ws) beast::get_lowest_layer(*ws).close();
        dropQueue();
    }

    void run() {
        if (!url.ok) {
            fail(url.error);
            return;
        }
        tls.set_default_verify_paths();
        tls.set_verify_mode(ssl::verify_peer);
        ws = std::make_unique<Stream>(ioc, tls);
        resolver.async_resolve(url.host, url.port,
                               [self = shared_from_this()](const boost::system::error_code& ec,
                                                           tcp::resolver::results_type results) {
                                   self->onResolve(ec, std::move(results));
                               });
    }

    void onResolve(const boost::system::error_code& ec, tcp::resolver::results_type results) {
        if (stopRequested) return teardown();
        if (ec) return fail("Unable to resolve host " + url.host + ": " + ec.message());
        beast::get_lowest_layer(*ws).expires_after(kConnectTimeout);
        beast::get_lowest_layer(*ws).async_connect(
            results, [self = shared_from_this()](const boost::system::error_code& ec, const tcp::endpoint&) {
                self->onConnect(ec);
            });
    }

    void onConnect(const boost::system::error_code& ec) {
        if (stopRequested) return teardown();
        if (ec) {
            return fail("Unable to connect to " + url.host + " on port " + url.port + ", error: " + ec.message());
        }
        SSL* native = ws->next_layer().native_handle();
        if (!isIpLiteral(url.host)) SSL_set_tlsext_host_name(native, url.host.c_str());
        ws->next_layer().set_verify_callback(ssl::host_name_verification(url.host));
        ws->next_layer().async_handshake(ssl::stream_base::client,
                                         [self = shared_from_this()](const boost::system::error_code& ec) {
                                             self->onTlsHandshake(ec);
                                         });
    }

    void onTlsHandshake(const boost::system::error_code& ec) {
        if (stopRequested) return teardown();
        if (ec) return fail("TLS handshake with " + url.host + " failed: " + ec.message());
        beast::get_lowest_layer(*ws).expires_never();

        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = websocket::stream_base::none();
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws->set_option(timeouts);

        websocket::permessage_deflate deflate;
        deflate.client_enable = true;
        ws->set_option(deflate);
        ws->read_message_max(kMaxMessageBytes);
        ws->auto_fragment(false);

        auto extra = headers;
        ws->set_option(websocket::stream_base::decorator([extra](websocket::request_type& req) {
            req.set(beast::http::field::user_agent, userAgent());
            for (const auto& [name, value] : extra) req.set(name, value);
        }));
        ws->control_callback([this](websocket::frame_type kind, beast::string_view payload) {
            onControl(kind, payload);
        });

        std::string hostHeader = url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
        if (url.port != "443") hostHeader += ":" + url.port;
        armGuard(kHandshakeTimeout, "WebSocket handshake with " + url.host + " timed out");
        ws->async_handshake(response, hostHeader, url.target,
                            [self = shared_from_this()](const boost::system::error_code& ec) {
                                self->onHandshake(ec);
                            });
    }

    void armGuard(std::chrono::seconds limit, std::string what) {
        guard.expires_after(limit);
        guard.async_wait([self = shared_from_this(), what = std::move(what)](const boost::system::error_code& ec) {
            if (ec) return;  // cancelled
            if (self->stopRequested) return self->closed(self->closeCode, self->closeReason, false, what);
            self->fail(what);
        });
    }

    void onHandshake(const boost::system::error_code& ec) {
        guard.cancel();
        if (stopRequested) return teardown();
        if (ec) {
            int status = static_cast<int>(response.result_int());
            if (ec == websocket::error::upgrade_declined && status != 0) {
                return fail("Expecting status 101 (Switching Protocol), got " + std::to_string(status) +
                                " status connecting to " + fullUrl + ", HTTP Status line: HTTP/1.1 " +
                                std::to_string(status) + " " + std::string(response.reason()),
                            status);
            }
            return fail("WebSocket handshake with " + url.host + " failed: " + ec.message(), status);
        }
        setState(ReadyState::Open);
        auto msg = std::make_unique<WebSocketMessage>();
        msg->type = WebSocketMessageType::Open;
        msg->openInfo.uri = url.target;
        for (const auto& field : response) {
            std::string name(field.name_string());
            std::string value(field.value());
            auto it = msg->openInfo.headers.find(name);
            if (it == msg->openInfo.headers.end()) {
                msg->openInfo.headers.emplace(std::move(name), std::move(value));
            } else {
                it->second += ", " + value;
            }
        }
        auto proto = msg->openInfo.headers.find("Sec-WebSocket-Protocol");
        if (proto != msg->openInfo.headers.end()) msg->openInfo.protocol = proto->second;
        deliver(msg);
        // stop() may have been posted while the callback ran; it runs before the next read.
        read();
        writeNext();
    }

    void onControl(websocket::frame_type kind, beast::string_view payload) {
        if (kind == websocket::frame_type::close) {
            if (getState() == ReadyState::Open) setState(ReadyState::Closing);
            return;
        }
        auto msg = std::make_unique<WebSocketMessage>();
        msg->type = kind == websocket::frame_type::ping ? WebSocketMessageType::Ping : WebSocketMessageType::Pong;
        msg->str.assign(payload.data(), payload.size());
        msg->wireSize = payload.size();
        deliver(msg);
    }

    void read() {
        if (finished) return;
        ws->async_read(buffer, [self = shared_from_this()](const boost::system::error_code& ec, size_t bytes) {
            self->onRead(ec, bytes);
        });
    }

    void onRead(const boost::system::error_code& ec, size_t bytes) {
        if (ec) {
            if (ec == websocket::error::closed) {
                if (stopRequested) return closed(closeCode, closeReason, false, "");
                const auto& why = ws->reason();
                return closed(why.code, std::string(why.reason.c_str()), true, "");
            }
            if (stopRequested) return closed(closeCode, closeReason, false, ec.message());
            return closed(WebSocketCloseConstants::kAbnormalCloseCode,
                          WebSocketCloseConstants::kAbnormalCloseMessage, true, ec.message());
        }
        auto msg = std::make_unique<WebSocketMessage>();
        msg->type = WebSocketMessageType::Message;
        msg->binary = ws->got_binary();
        msg->str = beast::buffers_to_string(buffer.data());
        msg->wireSize = bytes;
        buffer.consume(buffer.size());
        deliver(msg);
        read();
    }

    void enqueue(std::string data, bool binary) {
        if (getState() != ReadyState::Open || finished) {
            release(data.size());
            return;
        }
        queue.emplace_back(std::move(data), binary);
        writeNext();
    }

    void release(size_t bytes) {
        size_t cur = pendingBytes.load();
        while (!pendingBytes.compare_exchange_weak(cur, cur > bytes ? cur - bytes : 0)) {
        }
    }

    void dropQueue() {
        for (const auto& item : queue) release(item.first.size());
        queue.clear();
    }

    void writeNext() {
        if (writing || queue.empty() || finished || getState() != ReadyState::Open) return;
        writing = true;
        // The frame in flight belongs to its handler, not to the queue.
        auto item = std::make_shared<std::pair<std::string, bool>>(std::move(queue.front()));
        queue.pop_front();
        ws->binary(item->second);
        ws->async_write(asio::buffer(item->first),
                        [self = shared_from_this(), item](const boost::system::error_code& ec, size_t) {
                            self->writing = false;
                            self->release(item->first.size());
                            if (ec) return self->dropQueue();  // the pending read reports the break
                            self->writeNext();
                        });
    }

    void requestClose(uint16_t code, const std::string& reason) {
        if (stopRequested) return;
        stopRequested = true;
        closeCode = code;
        closeReason = reason;
        switch (getState()) {
        case ReadyState::Open:
            setState(ReadyState::Closing);
            dropQueue();
            armGuard(kCloseTimeout, "close handshake timed out");
            ws->async_close(websocket::close_reason(static_cast<websocket::close_code>(code), reason),
                            [self = shared_from_this()](const boost::system::error_code& ec) {
                                // The pending read delivers the close record; without an
                                // answer from the peer the socket is simply dropped.
                                if (ec) self->closed(self->closeCode, self->closeReason, false, ec.message());
                            });
            break;
        case ReadyState::Connecting:
            teardown();
            break;
        default:
            break;
        }
    }
};

WebSocket::WebSocket() = default;

WebSocket::~WebSocket() {
    stop();
    // Destroyed from inside its own callback: the thread ends on its own.
    if (thread_.joinable()) thread_.detach();
}

void WebSocket::setUrl(const std::string& url) {
    std::lock_guard<std::mutex> lock(mutex_);
    url_ = url;
}

std::string WebSocket::getUrl() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return url_;
}

void WebSocket::setExtraHeaders(const WebSocketHttpHeaders& headers) {
    std::lock_guard<std::mutex> lock(mutex_);
    extraHeaders_ = headers;
}

void WebSocket::disableAutomaticReconnection() {}

void WebSocket::setOnMessageCallback(const OnMessageCallback& callback) {
    auto cb = std::make_shared<OnMessageCallback>(callback);
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = std::move(cb);
}

void WebSocket::start() {
    {
        // From inside the callback its own thread is still running: nothing to do, and
        // waiting for a stop() that joins this very thread would never end.
        std::lock_guard<std::mutex> lock(mutex_);
        if (connection_ && connection_->threadId.load() == std::this_thread::get_id()) return;
    }
    std::lock_guard<std::mutex> stopLock(stopMutex_);
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connection_) return;  // the earlier connection thread has not been joined
        conn = std::make_shared<Connection>(*this, parseUrl(url_), url_, extraHeaders_);
        connection_ = conn;
    }
    thread_ = std::thread([conn] {
        conn->threadId = std::this_thread::get_id();
        asio::post(conn->ioc, [conn] { conn->run(); });
        conn->ioc.run();
        conn->setState(ReadyState::Closed);
    });
}

void WebSocket::stop(uint16_t code, const std::string& reason) {
    std::unique_lock<std::mutex> stopLock(stopMutex_, std::defer_lock);
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        conn = connection_;
    }
    if (!conn) return;
    Connection* raw = conn.get();
    if (std::this_thread::get_id() == conn->threadId.load()) {
        // Inside the callback: the thread cannot join itself; a later stop() joins it.
        asio::post(conn->ioc, [raw, code, reason] { raw->requestClose(code, reason); });
        return;
    }
    stopLock.lock();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connection_ != conn) return;  // another stop() joined it meanwhile
    }
    // A raw pointer: conn outlives the join, and a handler left in a finished context
    // must not keep the connection alive.
    asio::post(conn->ioc, [raw, code, reason] { raw->requestClose(code, reason); });
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    connection_.reset();
}

WebSocketSendInfo WebSocket::send(const std::string& data, bool binary) {
    WebSocketSendInfo info;
    info.payloadSize = data.size();
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        conn = connection_;
    }
    if (!conn || conn->getState() != ReadyState::Open) return info;
    size_t pending = conn->pendingBytes.fetch_add(data.size());
    if (pending + data.size() > kMaxPendingBytes) {
        conn->release(data.size());
        return info;
    }
    std::weak_ptr<Connection> weak = conn;
    asio::post(conn->ioc, [weak, data, binary] {
        if (auto c = weak.lock()) c->enqueue(data, binary);
    });
    info.success = true;
    info.wireSize = data.size();
    return info;
}

ReadyState WebSocket::getReadyState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connection_) return ReadyState::Closed;
    return connection_->getState();
}

}  // namespace velantis::net
