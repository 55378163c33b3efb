#include "tests/rig/cloud/fake_cloud.h"
#include "tests/support/files.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <nlohmann/json.hpp>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iomanip>
#include <mutex>
#include <stdexcept>
#include <thread>

#ifndef CLOUD_RIG_DIR
#error "CLOUD_RIG_DIR must name the directory of make-certs.sh"
#endif

namespace cloud_rig {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace ssl = boost::asio::ssl;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

// One line of the event log: no raw line breaks, control bytes escaped.
std::string printable(const std::string& s, size_t limit = 2000) {
    std::string out;
    for (unsigned char c : s.substr(0, limit)) {
        char buf[8] = {static_cast<char>(c)};
        if (c == '\n' || c == '\r' || c == '\\')
            std::snprintf(buf, sizeof buf, "\\%c", c == '\n' ? 'n' : c == '\r' ? 'r' : '\\');
        else if (c < 0x20 || c == 0x7f)
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
    }
    return s.size() > limit ? out + "..." : out;
}

// "text <size> <payload>", "binary <size>", "ping <payload>", "pong <payload>".
std::string describe(FrameKind kind, const std::string& data) {
    static const char* const names[] = {"text", "binary", "ping", "pong", "close"};
    std::string out = names[static_cast<int>(kind)];
    if (kind == FrameKind::Text || kind == FrameKind::Binary) out += " " + std::to_string(data.size());
    return kind == FrameKind::Binary ? out : out + " " + printable(data);
}

bool isHello(const std::string& text) {
    const auto j = nlohmann::json::parse(text, nullptr, false);
    const auto it = j.find("type");
    return j.is_object() && it != j.end() && *it == "hello";
}

}  // namespace

CloudCertificates makeCloudCertificates(const std::string& dir, const std::string& host) {
    const std::string script = std::string(CLOUD_RIG_DIR) + "/make-certs.sh";
    const char* argv[] = {"sh", script.c_str(), dir.c_str(), host.c_str(), nullptr};
    pid_t pid = 0;
    int rc = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0 ||
        waitpid(pid, &rc, 0) != pid || !WIFEXITED(rc) || WEXITSTATUS(rc) != 0)
        throw std::runtime_error("make-certs.sh failed for " + dir);
    return {dir, dir + "/ca.pem", dir + "/server.pem", dir + "/server.key"};
}

struct Session;

struct FakeCloud::Impl {
    explicit Impl(Options o) : options(std::move(o)) {}

    Options options;
    ssl::context tls{ssl::context::tls_server};  // outlives the sessions that handlers still hold
    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    std::thread thread;
    std::atomic<uint16_t> boundPort{0};
    Clock::time_point startedAt = Clock::now();
    bool running = false;
    std::string lastError;

    mutable std::mutex m;
    std::vector<Handshake> handshakes;
    std::vector<ReceivedFrame> frames;
    std::map<FrameKind, size_t> counts;  // every frame received, kept in `frames` or not
    std::vector<CloudRule> rules;
    std::map<int, CloudSilence> silences;  // by connection, 0 for every one
    std::map<int, Clock::time_point> opened;
    int connections = 0;
    int open = 0;
    std::ofstream log;
    // Used on the server thread only.
    std::vector<std::weak_ptr<Session>> sessions;
    std::weak_ptr<Session> latest;
    // Silent sessions have no operation pending that would keep them alive.
    std::vector<std::shared_ptr<Session>> parked;

    template <class F>
    auto locked(F f) {
        std::lock_guard<std::mutex> lock(m);
        return f();
    }

    // A copy of one field, taken under the lock.
    template <class T>
    T get(T Impl::*field) {
        return locked([&] { return this->*field; });
    }

    CloudSilence silenceFor(int connection) {
        std::lock_guard<std::mutex> lock(m);
        for (int c : {connection, 0}) {
            if (silences.count(c)) return silences[c];
        }
        return CloudSilence::None;
    }

    void logLine(int connection, const std::string& text) {
        std::lock_guard<std::mutex> lock(m);
        if (!log.is_open()) return;
        log << std::chrono::duration<double, std::milli>(Clock::now() - startedAt).count() << " conn=" << connection
            << " " << text << std::endl;
    }

    void acceptNext();
};

struct Session : std::enable_shared_from_this<Session> {
    Session(FakeCloud::Impl& impl, tcp::socket socket, int id)
        : impl(impl), id(id), ws(std::move(socket), impl.tls), timer(impl.ioc) {}

    FakeCloud::Impl& impl;
    const int id;
    websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws;
    asio::steady_timer timer;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::response<http::string_body> refusal;
    std::deque<CloudAction> actions;
    bool acting = false;
    bool isOpen = false;    // handshake accepted
    bool accepted = false;  // 101 written: frames may be sent
    bool reading = true;    // false once the session stopped reading on purpose
    bool ended = false;
    std::map<CloudTrigger, int> seen;

    void log(const std::string& text) { impl.logLine(id, text); }
    void park() { impl.parked.push_back(shared_from_this()); }

    void begin() {
        if (impl.silenceFor(id) == CloudSilence::BeforeTls) {
            log("silent before TLS");
            return park();
        }
        beast::get_lowest_layer(ws).expires_after(std::chrono::seconds(10));
        ws.next_layer().async_handshake(ssl::stream_base::server, [self = shared_from_this()](const error_code& ec) {
            if (ec) return self->end("tls handshake failed: " + ec.message());
            http::async_read(self->ws.next_layer(), self->buffer, self->request, [self](const error_code& ec, size_t) {
                if (ec) return self->end("request read failed: " + ec.message());
                self->onRequest();
            });
        });
    }

    void onRequest() {
        const std::string target(request.target());
        const size_t q = target.find('?');
        Handshake hs{id, Clock::now(), target, target.substr(0, q), q == std::string::npos ? "" : target.substr(q + 1),
                     {}, false};
        for (const auto& field : request) hs.headers[std::string(field.name_string())] = std::string(field.value());
        const std::string auth(request[http::field::authorization]);
        const bool upgrade = websocket::is_upgrade(request);
        hs.accepted = upgrade &&
                      (impl.options.requiredAuthorization.empty() || auth == impl.options.requiredAuthorization);
        impl.locked([&] { impl.handshakes.push_back(hs); });
        log("handshake target=" + printable(hs.target) + " authorization=" + printable(auth) +
            " extensions=" + printable(std::string(request[http::field::sec_websocket_extensions])));
        if (impl.silenceFor(id) == CloudSilence::BeforeUpgrade) {
            log("silent before upgrade");
            return park();
        }
        if (!hs.accepted) {
            refusal = http::response<http::string_body>(upgrade ? http::status::unauthorized
                                                                : http::status::bad_request,
                                                        request.version(),
                                                        upgrade ? "unauthorized\n" : "not a websocket upgrade\n");
            refusal.set(http::field::content_type, "text/plain");
            refusal.keep_alive(false);
            refusal.prepare_payload();
            log("refused " + std::to_string(refusal.result_int()));
            http::async_write(ws.next_layer(), refusal,
                              [self = shared_from_this()](const error_code&, size_t) { self->end("refused"); });
            return;
        }
        // Counted as open from here: the client may see the 101 before onOpen runs here.
        isOpen = true;
        impl.locked([&] {
            impl.open++;
            impl.opened[id] = Clock::now();
        });
        impl.latest = shared_from_this();
        beast::get_lowest_layer(ws).expires_never();
        // 30 s to accept and to close; no idle limit, no pings of its own.
        ws.set_option(websocket::stream_base::timeout{std::chrono::seconds(30), websocket::stream_base::none(), false});
        websocket::permessage_deflate deflate;
        deflate.server_enable = impl.options.deflate;
        ws.set_option(deflate);
        ws.read_message_max(16u * 1024u * 1024u);
        ws.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
            // Recorded on arrival: the read ends only after the closing handshake, or with an
            // error when the client cuts the connection meanwhile.
            if (kind != websocket::frame_type::close)
                return record(kind == websocket::frame_type::ping ? FrameKind::Ping : FrameKind::Pong,
                              std::string(payload));
            const auto& why = ws.reason();
            record(FrameKind::Close, {}, static_cast<uint16_t>(why.code), std::string(why.reason.c_str()));
        });
        ws.async_accept(request, [self = shared_from_this()](const error_code& ec) {
            if (ec) return self->end("accept failed: " + ec.message());
            self->accepted = true;
            self->log("open");
            self->trigger(CloudTrigger::Open);
            self->read();
        });
    }

    void read() {
        ws.async_read(buffer, [self = shared_from_this()](const error_code& ec, size_t) {
            if (!self->reading) return;
            if (ec) return self->end(ec == websocket::error::closed ? "closed" : "read ended: " + ec.message());
            const bool binary = self->ws.got_binary();
            const std::string data = beast::buffers_to_string(self->buffer.data());
            self->buffer.consume(self->buffer.size());
            self->record(binary ? FrameKind::Binary : FrameKind::Text, data);
            self->trigger(binary ? CloudTrigger::Binary : CloudTrigger::Text);
            if (!binary && isHello(data)) self->trigger(CloudTrigger::Hello);
            self->read();
        });
    }

    // Counts the frame and keeps it (pings and pongs only when asked to) under one lock; logs
    // what is kept.
    void record(FrameKind kind, std::string data, uint16_t closeCode = 0, std::string closeReason = {}) {
        const std::string line = kind == FrameKind::Close
                                     ? "recv close " + std::to_string(closeCode) + " " + printable(closeReason)
                                     : "recv " + describe(kind, data);
        const bool kept = impl.locked([&] {
            impl.counts[kind]++;
            if ((kind == FrameKind::Ping || kind == FrameKind::Pong) && !impl.options.keepControlFrames) return false;
            impl.frames.push_back({id, Clock::now(), kind, std::move(data), closeCode, std::move(closeReason)});
            return true;
        });
        if (kept) log(line);
    }

    void trigger(CloudTrigger what) {
        const int n = ++seen[what];
        impl.locked([&] {
            for (const auto& rule : impl.rules) {
                if (rule.on == what && (rule.nth == 0 || rule.nth == n) &&
                    (rule.connection == 0 || rule.connection == id))
                    actions.insert(actions.end(), rule.actions.begin(), rule.actions.end());
            }
        });
        runActions();
    }

    void next() {
        acting = false;
        runActions();
    }

    void runActions() {
        if (acting || ended || !accepted || actions.empty()) return;
        acting = true;
        CloudAction a = std::move(actions.front());
        actions.pop_front();
        auto self = shared_from_this();
        auto data = std::make_shared<std::string>(std::move(a.data));
        switch (a.kind) {
        case CloudAction::Kind::Text:
        case CloudAction::Kind::Binary:
        case CloudAction::Kind::Ping: {
            const FrameKind kind = a.kind == CloudAction::Kind::Text     ? FrameKind::Text
                                   : a.kind == CloudAction::Kind::Binary ? FrameKind::Binary
                                                                         : FrameKind::Ping;
            auto sent = [self, data, kind](const error_code& ec, auto...) {
                self->log(ec ? "send failed: " + ec.message() : "sent " + describe(kind, *data));
                self->next();
            };
            if (kind == FrameKind::Ping)
                return ws.async_ping(websocket::ping_data(beast::string_view(*data).substr(0, 125)), sent);
            ws.binary(kind == FrameKind::Binary);
            return ws.async_write(asio::buffer(*data), sent);
        }
        case CloudAction::Kind::Close:
        case CloudAction::Kind::CloseSilent: {
            const std::string reason = data->substr(0, 123);
            const bool silent = a.kind == CloudAction::Kind::CloseSilent;
            log("sent close " + std::to_string(a.code) + " " + printable(reason) + (silent ? ", then silence" : ""));
            if (!silent)
                return ws.async_close(websocket::close_reason(static_cast<websocket::close_code>(a.code), reason),
                                      [self](const error_code& ec) {
                                          self->end(ec ? "close failed: " + ec.message() : "closed by server");
                                      });
            goQuiet();
            return writeRaw({'\x88', static_cast<char>(2 + reason.size()), static_cast<char>(a.code >> 8),
                             static_cast<char>(a.code & 0xff)},
                            reason, false);
        }
        case CloudAction::Kind::Drop:
            log("drop");
            return end("dropped");
        case CloudAction::Kind::Wait:
            timer.expires_after(std::chrono::milliseconds(a.n));
            return timer.async_wait([self](const error_code&) { self->next(); });
        case CloudAction::Kind::StopReading:
            log("stop reading");
            goQuiet();
            return next();
        case CloudAction::Kind::Reset:
            log("reset");
            goQuiet();
            // A binary frame of 1000 bytes announced, 10 of them sent.
            return writeRaw(std::string("\x82\x7e\x03\xe8", 4), std::string(10, 'x'), true);
        case CloudAction::Kind::StallInText:
            log("stall in a text frame");
            // 100 bytes announced, 24 sent: JSON text, then F0 9F of a four-byte character.
            // Actions end here; reading goes on.
            return writeRaw("\x81\x64", "{\"type\":\"tts\",\"text\":\"\xf0\x9f", false);
        case CloudAction::Kind::PingFlood:
            return floodPings(a.n, 0);
        }
    }

    void floodPings(int left, int sent) {
        if (left <= 0) {
            log("sent " + std::to_string(sent) + " pings");
            return next();
        }
        ws.async_ping({}, [self = shared_from_this(), left, sent](const error_code& ec) {
            if (!ec) return self->floodPings(left - 1, sent + 1);
            self->log("ping flood ended after " + std::to_string(sent) + " pings: " + ec.message());
            self->next();
        });
    }

    // Reads no more: the pending read is cancelled, and the session is kept alive without it.
    void goQuiet() {
        if (!reading) return;
        reading = false;
        beast::get_lowest_layer(ws).cancel();
        park();
    }

    // A frame header and payload straight onto the TLS stream, outside the WebSocket framing;
    // then a TCP reset when asked.
    void writeRaw(const std::string& header, const std::string& payload, bool resetAfter) {
        auto data = std::make_shared<std::string>(header + payload);
        asio::async_write(ws.next_layer(), asio::buffer(*data),
                          [self = shared_from_this(), data, resetAfter](const error_code&, size_t) {
                              if (!resetAfter) return;
                              error_code ec;
                              beast::get_lowest_layer(self->ws).socket().set_option(asio::socket_base::linger(true, 0),
                                                                                    ec);
                              self->end("reset");
                          });
    }

    void end(const std::string& why) {
        if (ended) return;
        ended = true;
        actions.clear();
        timer.cancel();
        error_code ec;
        auto& socket = beast::get_lowest_layer(ws).socket();
        if (why != "reset") socket.shutdown(tcp::socket::shutdown_both, ec);
        socket.close(ec);
        if (isOpen) impl.locked([&] { impl.open--; });
        log("ended " + why);
    }
};

void FakeCloud::Impl::acceptNext() {
    acceptor.async_accept([this](const error_code& ec, tcp::socket socket) {
        if (ec) return;  // closed by stop()
        const int id = locked([&] { return ++connections; });
        // Like a real service's WebSocket front end: small frames leave at once.
        error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        auto session = std::make_shared<Session>(*this, std::move(socket), id);
        sessions.push_back(session);
        logLine(id, "connected");
        session->begin();
        acceptNext();
    });
}

FakeCloud::FakeCloud(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

FakeCloud::~FakeCloud() {
    try {
        stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fake cloud: stop failed: %s\n", e.what());
    }
}

bool FakeCloud::start() {
    if (impl_->running) return true;
    try {
        impl_->tls.use_certificate_chain_file(impl_->options.certFile);
        impl_->tls.use_private_key_file(impl_->options.keyFile, ssl::context::pem);
        if (!impl_->options.logFile.empty()) {
            impl_->log.open(impl_->options.logFile, std::ios::out | std::ios::app);
            if (!impl_->log) throw std::runtime_error("cannot open log file " + impl_->options.logFile);
            impl_->log << std::fixed << std::setprecision(3);
        }
        tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), impl_->options.port);
        impl_->acceptor.open(endpoint.protocol());
        impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
        impl_->acceptor.bind(endpoint);
        impl_->acceptor.listen();
        impl_->boundPort = impl_->acceptor.local_endpoint().port();
    } catch (const std::exception& e) {
        impl_->lastError = e.what();
        return false;
    }
    impl_->startedAt = Clock::now();
    impl_->logLine(0, "listening 127.0.0.1:" + std::to_string(impl_->boundPort.load()));
    impl_->acceptNext();
    impl_->running = true;
    impl_->thread = std::thread([impl = impl_.get()] { impl->ioc.run(); });
    return true;
}

void FakeCloud::stop() {
    if (!impl_->running) return;
    impl_->running = false;
    asio::post(impl_->ioc, [impl = impl_.get()] {
        error_code ec;
        impl->acceptor.close(ec);
        for (auto& weak : impl->sessions) {
            if (auto s = weak.lock()) s->end("server stopped");
        }
    });
    // Let the closing handlers run, then leave.
    asio::post(impl_->ioc, [impl = impl_.get()] { impl->ioc.stop(); });
    impl_->thread.join();
    impl_->sessions.clear();
    impl_->parked.clear();
}

std::string FakeCloud::error() const { return impl_->lastError; }
uint16_t FakeCloud::port() const { return impl_->boundPort.load(); }

std::string FakeCloud::url(const std::string& pathAndQuery) const {
    return "wss://localhost:" + std::to_string(port()) + pathAndQuery;
}

void FakeCloud::silence(CloudSilence mode, int connection) {
    impl_->locked([&] { impl_->silences[connection] = mode; });
}

void FakeCloud::addRule(CloudRule rule) {
    impl_->locked([&] { impl_->rules.push_back(std::move(rule)); });
}

bool FakeCloud::act(std::vector<CloudAction> actions) {
    if (!impl_->running || openConnections() == 0) return false;
    asio::post(impl_->ioc, [impl = impl_.get(), actions = std::move(actions)]() mutable {
        auto s = impl->latest.lock();
        if (!s) return;
        s->actions.insert(s->actions.end(), actions.begin(), actions.end());
        s->runActions();
    });
    return true;
}

std::vector<Handshake> FakeCloud::handshakes() const { return impl_->get(&Impl::handshakes); }
std::vector<ReceivedFrame> FakeCloud::frames() const { return impl_->get(&Impl::frames); }
size_t FakeCloud::count(FrameKind kind) const { return impl_->get(&Impl::counts)[kind]; }
int FakeCloud::connectionCount() const { return impl_->get(&Impl::connections); }
int FakeCloud::openConnections() const { return impl_->get(&Impl::open); }
Clock::time_point FakeCloud::openedAt(int connection) const { return impl_->get(&Impl::opened)[connection]; }

std::vector<ReceivedFrame> FakeCloud::frames(FrameKind kind, int connection) const {
    std::vector<ReceivedFrame> out = frames();
    out.erase(std::remove_if(out.begin(), out.end(),
                             [&](const auto& f) {
                                 return f.kind != kind || (connection && f.connection != connection);
                             }),
              out.end());
    return out;
}

bool FakeCloud::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) const {
    return test_support::waitUntil(done, timeout, std::chrono::milliseconds(5));
}

bool FakeCloud::waitForFrames(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return frames().size() >= count; }, timeout);
}

bool FakeCloud::waitForHandshakes(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return handshakes().size() >= count; }, timeout);
}

}  // namespace cloud_rig
