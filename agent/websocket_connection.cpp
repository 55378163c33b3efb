#include "agent/websocket_connection.h"

#include <netdb.h>
#include <openssl/ssl.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/websocket_url.h"

namespace velantis::net::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = boost::asio::ssl;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;

namespace {

constexpr auto kResolveTimeout = std::chrono::seconds(10);
constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr auto kHandshakeTimeout = std::chrono::seconds(10);
constexpr auto kCloseTimeout = std::chrono::seconds(3);
constexpr size_t kMaxMessageBytes = 16u * 1024u * 1024u;

// An I/O context whose pending handlers and operations can all be dropped, unrun, before
// it is destroyed.
class IoContext : public asio::io_context {
public:
    IoContext() : asio::io_context(1) {}
    void dropPending() { shutdown(); }
};

bool isIpLiteral(const std::string& host) {
    boost::system::error_code ec;
    asio::ip::make_address(host, ec);
    return !ec;
}

class BeastConnection final : public Connection, public std::enable_shared_from_this<BeastConnection> {
public:
    using Stream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

    BeastConnection(const std::string& fullUrl, WebSocketHttpHeaders headers, std::shared_ptr<Outbox> outbox,
                    std::shared_ptr<Inbox> inbox)
        : url_(parseUrl(fullUrl)),
          fullUrl_(fullUrl),
          headers_(std::move(headers)),
          outbox_(std::move(outbox)),
          inbox_(std::move(inbox)) {}

    void run() override {
        post([this] { begin(); });
        try {
            ioc_.run();
        } catch (const std::exception& e) {
            // A step that could not get its resources (a socket, TLS state, memory) ends the
            // connection like any failed step.
            try {
                fail(std::string("Unable to set up the connection: ") + e.what());
            } catch (...) {
            }
        }
        {
            std::lock_guard<std::mutex> lock(postMutex_);
            ended_ = true;
        }
        // Beast's operations may still wait on one another (a close waiting for a read that
        // waits to write its own close), and their handlers hold this connection.
        ioc_.dropPending();
        setState(ReadyState::Closed);
        outbox_->close();
        inbox_->finish();
    }

    // The handlers posted from other threads hold a plain pointer: they only ever run inside
    // run(), while the connection thread holds the connection.
    void requestClose(uint16_t code, const std::string& reason) override {
        post([this, code, reason] { closeNow(code, reason); });
    }

    void wakeWriter() override {
        post([this] { writeNext(); });
    }

    void resumeReading() override {
        post([this] {
            if (!readPaused_) return;
            readPaused_ = false;
            read();
        });
    }

    ReadyState state() const override { return static_cast<ReadyState>(state_.load()); }

private:
    void setState(ReadyState s) { state_.store(static_cast<int>(s)); }

    // Hands `fn` to the connection thread; dropped once run() is ending, so that nothing is
    // queued while the pending handlers are being dropped.
    template <typename Fn>
    void post(Fn&& fn) {
        std::lock_guard<std::mutex> lock(postMutex_);
        if (!ended_) asio::post(ioc_, std::forward<Fn>(fn));
    }

    void emit(WebSocketMessagePtr msg) {
        if (!inbox_->push(std::move(msg))) readPaused_ = true;
    }

    void fail(const std::string& reason, int httpStatus = 0) {
        teardown();
        if (finished_) return;
        finished_ = true;
        auto msg = std::make_unique<WebSocketMessage>();
        msg->type = WebSocketMessageType::Error;
        msg->errorInfo.reason = reason;
        msg->errorInfo.http_status = httpStatus;
        emit(std::move(msg));
    }

    void closed(uint16_t code, const std::string& reason, bool remote, const std::string& error) {
        teardown();
        if (finished_) return;
        finished_ = true;
        auto msg = std::make_unique<WebSocketMessage>();
        msg->type = WebSocketMessageType::Close;
        msg->closeInfo.code = code;
        msg->closeInfo.reason = reason;
        msg->closeInfo.remote = remote;
        msg->errorInfo.reason = error;
        emit(std::move(msg));
    }

    // Drops the socket and ends run() at once, without waiting for pending operations.
    void teardown() {
        setState(ReadyState::Closed);
        outbox_->close();
        timer_.cancel();
        guard_.cancel();
        if (ws_) beast::get_lowest_layer(*ws_).close();
        work_.reset();
        ioc_.stop();
    }

    void begin() {
        if (stopRequested_) return;  // stopped before it began
        if (!url_.ok) return fail(url_.error);
        boost::system::error_code ec;
        tls_.set_default_verify_paths(ec);
        if (ec) return fail("Unable to load the trust store: " + ec.message());
        tls_.set_verify_mode(ssl::verify_peer);
        ws_ = std::make_unique<Stream>(ioc_, tls_);
        resolve();
    }

    // getaddrinfo on a thread of its own, left behind if it never answers: the connection
    // gives up after kResolveTimeout and a late answer finds it gone or ignores it.
    void resolve() {
        timer_.expires_after(kResolveTimeout);
        timer_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (ec || self->resolved_) return;
            self->fail("Unable to resolve host " + self->url_.host + ": timed out");
        });
        std::weak_ptr<BeastConnection> weak = shared_from_this();
        try {
            std::thread([weak, host = url_.host, port = url_.port] {
                addrinfo hints{};
                hints.ai_family = AF_UNSPEC;
                hints.ai_socktype = SOCK_STREAM;
                addrinfo* found = nullptr;
                const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
                std::vector<tcp::endpoint> endpoints;
                for (addrinfo* ai = rc == 0 ? found : nullptr; ai != nullptr; ai = ai->ai_next) {
                    tcp::endpoint ep;
                    if (ai->ai_addrlen <= ep.capacity()) {
                        std::memcpy(ep.data(), ai->ai_addr, ai->ai_addrlen);
                        ep.resize(ai->ai_addrlen);
                        endpoints.push_back(ep);
                    }
                }
                if (found != nullptr) freeaddrinfo(found);
                std::string error = rc == 0 ? std::string() : gai_strerror(rc);
                if (auto self = weak.lock()) {
                    BeastConnection* raw = self.get();
                    raw->post([raw, endpoints = std::move(endpoints), error = std::move(error)] {
                        raw->onResolve(endpoints, error);
                    });
                }
            }).detach();
        } catch (const std::system_error& e) {
            fail("Unable to resolve host " + url_.host + ": " + e.what());
        }
    }

    void onResolve(const std::vector<tcp::endpoint>& endpoints, const std::string& error) {
        if (finished_ || state() == ReadyState::Closed) return;
        resolved_ = true;
        timer_.cancel();
        if (!error.empty()) return fail("Unable to resolve host " + url_.host + ": " + error);
        if (endpoints.empty()) return fail("Unable to resolve host " + url_.host + ": no address");
        beast::get_lowest_layer(*ws_).expires_after(kConnectTimeout);
        beast::get_lowest_layer(*ws_).async_connect(
            endpoints, [self = shared_from_this()](const boost::system::error_code& ec, const tcp::endpoint&) {
                self->onConnect(ec);
            });
    }

    void onConnect(const boost::system::error_code& ec) {
        if (stopRequested_) return teardown();
        if (ec) {
            return fail("Unable to connect to " + url_.host + " on port " + url_.port + ", error: " + ec.message());
        }
        // Voice packets leave as they are sent.
        boost::system::error_code ignored;
        beast::get_lowest_layer(*ws_).socket().set_option(tcp::no_delay(true), ignored);
        SSL* native = ws_->next_layer().native_handle();
        if (!isIpLiteral(url_.host)) SSL_set_tlsext_host_name(native, url_.host.c_str());
        ws_->next_layer().set_verify_callback(ssl::host_name_verification(url_.host));
        beast::get_lowest_layer(*ws_).expires_after(kHandshakeTimeout);
        ws_->next_layer().async_handshake(ssl::stream_base::client,
                                          [self = shared_from_this()](const boost::system::error_code& ec) {
                                              self->onTlsHandshake(ec);
                                          });
    }

    void onTlsHandshake(const boost::system::error_code& ec) {
        if (stopRequested_) return teardown();
        if (ec) return fail("TLS handshake with " + url_.host + " failed: " + ec.message());
        beast::get_lowest_layer(*ws_).expires_never();

        // Our own guard times the handshakes: Beast's would keep the context busy after a
        // failed one.
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = websocket::stream_base::none();
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_->set_option(timeouts);

        websocket::permessage_deflate deflate;
        deflate.client_enable = true;
        ws_->set_option(deflate);
        ws_->read_message_max(kMaxMessageBytes);
        ws_->auto_fragment(false);

        auto extra = headers_;
        ws_->set_option(websocket::stream_base::decorator([extra](websocket::request_type& req) {
            req.set(beast::http::field::user_agent, userAgent());
            for (const auto& [name, value] : extra) req.set(name, value);
        }));
        ws_->control_callback(
            [this](websocket::frame_type kind, beast::string_view payload) { onControl(kind, payload); });

        std::string hostHeader = url_.host.find(':') != std::string::npos ? "[" + url_.host + "]" : url_.host;
        if (url_.port != "443") hostHeader += ":" + url_.port;
        armGuard(kHandshakeTimeout, [this] { fail("WebSocket handshake with " + url_.host + " timed out"); });
        ws_->async_handshake(response_, hostHeader, url_.target,
                             [self = shared_from_this()](const boost::system::error_code& ec) {
                                 self->onHandshake(ec);
                             });
    }

    template <typename OnExpiry>
    void armGuard(std::chrono::seconds limit, OnExpiry onExpiry) {
        guard_.expires_after(limit);
        guard_.async_wait([self = shared_from_this(), onExpiry](const boost::system::error_code& ec) {
            if (!ec) onExpiry();
        });
    }

    void onHandshake(const boost::system::error_code& ec) {
        guard_.cancel();
        if (stopRequested_) return teardown();
        if (ec) {
            const int status = static_cast<int>(response_.result_int());
            if (ec == websocket::error::upgrade_declined && status != 0) {
                return fail("Expecting status 101 (Switching Protocol), got " + std::to_string(status) +
                                " status connecting to " + fullUrl_ + ", HTTP Status line: HTTP/1.1 " +
                                std::to_string(status) + " " + std::string(response_.reason()),
                            status);
            }
            return fail("WebSocket handshake with " + url_.host + " failed: " + ec.message(), status);
        }
        auto msg = std::make_unique<WebSocketMessage>();
        msg->type = WebSocketMessageType::Open;
        msg->openInfo.uri = url_.target;
        for (const auto& field : response_) {
            std::string name(field.name_string());
            std::string value(field.value());
            auto it = msg->openInfo.headers.find(name);
            if (it == msg->openInfo.headers.end()) {
                msg->openInfo.headers.emplace(std::move(name), std::move(value));
            } else {
                it->second += ", " + value;
            }
        }
        // Open before the record goes out: the callback may send at once.
        setState(ReadyState::Open);
        outbox_->open();
        emit(std::move(msg));
        read();
        writeNext();
    }

    void onControl(websocket::frame_type kind, beast::string_view payload) {
        if (kind == websocket::frame_type::close) {
            // Beast answers and shuts TLS down within the read; a peer that then goes
            // silent is cut off after kCloseTimeout.
            peerClosed_ = true;
            if (state() == ReadyState::Open) {
                setState(ReadyState::Closing);
                outbox_->close();
                armGuard(kCloseTimeout, [this] {
                    const auto& why = ws_->reason();
                    closed(why.code, std::string(why.reason.c_str()), true, "close handshake timed out");
                });
            }
            return;
        }
        auto msg = std::make_unique<WebSocketMessage>();
        msg->type = kind == websocket::frame_type::ping ? WebSocketMessageType::Ping : WebSocketMessageType::Pong;
        msg->str.assign(payload.data(), payload.size());
        msg->wireSize = payload.size();
        emit(std::move(msg));
    }

    void read() {
        if (finished_ || readPaused_) return;
        ws_->async_read(buffer_, [self = shared_from_this()](const boost::system::error_code& ec, size_t bytes) {
            self->onRead(ec, bytes);
        });
    }

    void onRead(const boost::system::error_code& ec, size_t bytes) {
        if (ec) {
            const std::string error = ec == websocket::error::closed ? std::string() : ec.message();
            if (stopRequested_) return closed(closeCode_, closeReason_, false, error);
            if (ec == websocket::error::closed || peerClosed_) {
                const auto& why = ws_->reason();
                return closed(why.code, std::string(why.reason.c_str()), true, error);
            }
            return closed(WebSocketCloseConstants::kAbnormalCloseCode, WebSocketCloseConstants::kAbnormalCloseMessage,
                          true, error);
        }
        auto msg = std::make_unique<WebSocketMessage>();
        msg->type = WebSocketMessageType::Message;
        msg->binary = ws_->got_binary();
        msg->str = beast::buffers_to_string(buffer_.data());
        msg->wireSize = bytes;
        buffer_.consume(buffer_.size());
        emit(std::move(msg));
        read();
    }

    void writeNext() {
        if (writing_ || finished_ || state() != ReadyState::Open) return;
        auto frame = std::make_shared<OutFrame>();
        if (!outbox_->pop(*frame)) return;
        writing_ = true;
        ws_->binary(frame->binary);
        ws_->async_write(asio::buffer(frame->data),
                         [self = shared_from_this(), frame](const boost::system::error_code& ec, size_t) {
                             self->writing_ = false;
                             // After a failed write the pending read reports the break.
                             if (!ec) self->writeNext();
                         });
    }

    void closeNow(uint16_t code, const std::string& reason) {
        if (stopRequested_) return;
        stopRequested_ = true;
        closeCode_ = code;
        closeReason_ = reason;
        switch (state()) {
        case ReadyState::Connecting:
            teardown();
            break;
        case ReadyState::Open:
            setState(ReadyState::Closing);
            outbox_->close();
            armGuard(kCloseTimeout, [this] { closed(closeCode_, closeReason_, false, "close handshake timed out"); });
            ws_->async_close(websocket::close_reason(static_cast<websocket::close_code>(code), reason),
                             [self = shared_from_this()](const boost::system::error_code& ec) {
                                 // Whichever of this and the pending read ends first reports.
                                 self->closed(self->closeCode_, self->closeReason_, false, ec ? ec.message() : "");
                             });
            break;
        case ReadyState::Closing:  // the peer's close runs under its own guard
        case ReadyState::Closed:
            break;
        }
    }

    const ParsedUrl url_;
    const std::string fullUrl_;
    const WebSocketHttpHeaders headers_;
    const std::shared_ptr<Outbox> outbox_;
    const std::shared_ptr<Inbox> inbox_;
    std::atomic<int> state_{static_cast<int>(ReadyState::Connecting)};

    // Declared before the context: handlers the context still holds may own TLS streams.
    ssl::context tls_{ssl::context::tls_client};
    IoContext ioc_;
    std::mutex postMutex_;
    bool ended_ = false;  // under postMutex_
    asio::executor_work_guard<asio::io_context::executor_type> work_{ioc_.get_executor()};
    asio::steady_timer timer_{ioc_};  // resolving
    asio::steady_timer guard_{ioc_};  // WebSocket handshake, close handshakes
    std::unique_ptr<Stream> ws_;
    beast::flat_buffer buffer_;
    websocket::response_type response_;

    // Used on the connection thread only.
    bool resolved_ = false;
    bool writing_ = false;
    bool readPaused_ = false;
    bool peerClosed_ = false;
    bool stopRequested_ = false;
    bool finished_ = false;  // the final close or error record has gone out
    uint16_t closeCode_ = WebSocketCloseConstants::kNormalClosureCode;
    std::string closeReason_ = WebSocketCloseConstants::kNormalClosureMessage;
};

}  // namespace

std::shared_ptr<Connection> makeConnection(const std::string& url, const WebSocketHttpHeaders& headers,
                                           std::shared_ptr<Outbox> outbox, std::shared_ptr<Inbox> inbox) {
    return std::make_shared<BeastConnection>(url, headers, std::move(outbox), std::move(inbox));
}

}  // namespace velantis::net::detail
