#include "tests/rig/cloud/fake_cloud.h"

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

#include <strings.h>
#include <sys/wait.h>
#include <atomic>
#include <cstdio>
#include <deque>
#include <fstream>
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

namespace {

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

// One line of the event log: no raw line breaks, control bytes escaped.
std::string printable(const std::string& s, size_t limit = 2000) {
    std::string out;
    for (size_t i = 0; i < s.size() && i < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\\')
            out += "\\\\";
        else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    if (s.size() > limit) out += "...";
    return out;
}

bool isHello(const std::string& text) {
    auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return false;
    auto it = j.find("type");
    return it != j.end() && it->is_string() && it->get<std::string>() == "hello";
}

}  // namespace

CloudCertificates makeCloudCertificates(const std::string& dir, const std::string& host) {
    std::string cmd = "sh " + shellQuote(std::string(CLOUD_RIG_DIR) + "/make-certs.sh") + " " + shellQuote(dir) + " " +
                      shellQuote(host);
    int rc = std::system(cmd.c_str());
    if (rc == -1 || !WIFEXITED(rc) || WEXITSTATUS(rc) != 0) {
        throw std::runtime_error("make-certs.sh failed for " + dir);
    }
    return {dir, dir + "/ca.pem", dir + "/server.pem", dir + "/server.key"};
}

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
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

    CloudSilence silenceFor(int connection) {
        std::lock_guard<std::mutex> lock(m);
        auto it = silences.find(connection);
        if (it == silences.end()) it = silences.find(0);
        return it == silences.end() ? CloudSilence::None : it->second;
    }

    void logLine(int connection, const std::string& text) {
        std::lock_guard<std::mutex> lock(m);
        if (!log.is_open()) return;
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - startedAt).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%.3f", ms);
        log << stamp << " conn=" << connection << " " << text << "\n";
        log.flush();
    }

    void acceptNext();
};

struct Session : std::enable_shared_from_this<Session> {
    using Stream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

    Session(FakeCloud::Impl& impl, tcp::socket socket, int id)
        : impl(impl), id(id), ws(std::move(socket), impl.tls), timer(impl.ioc) {}

    FakeCloud::Impl& impl;
    const int id;
    Stream ws;
    asio::steady_timer timer;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    std::shared_ptr<http::response<http::string_body>> refusal;
    std::deque<CloudAction> actions;
    bool acting = false;
    bool isOpen = false;    // handshake accepted
    bool accepted = false;  // 101 written: frames may be sent
    bool reading = true;    // false once the session stopped reading on purpose
    bool ended = false;
    std::map<CloudTrigger, int> seen;

    void begin() {
        beast::get_lowest_layer(ws).expires_after(std::chrono::seconds(10));
        ws.next_layer().async_handshake(ssl::stream_base::server,
                                        [self = shared_from_this()](const boost::system::error_code& ec) {
                                            if (ec) return self->end("tls handshake failed: " + ec.message());
                                            self->readRequest();
                                        });
    }

    void readRequest() {
        http::async_read(ws.next_layer(), buffer, request,
                         [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                             if (ec) return self->end("request read failed: " + ec.message());
                             self->onRequest();
                         });
    }

    void onRequest() {
        Handshake hs;
        hs.connection = id;
        hs.at = Clock::now();
        hs.target = std::string(request.target());
        size_t q = hs.target.find('?');
        hs.path = hs.target.substr(0, q);
        hs.query = q == std::string::npos ? "" : hs.target.substr(q + 1);
        for (const auto& field : request) hs.headers[std::string(field.name_string())] = std::string(field.value());
        std::string auth = hs.headers.count("authorization") ? hs.headers["authorization"] : "";
        bool upgrade = websocket::is_upgrade(request);
        bool authorized = impl.options.requiredAuthorization.empty() || auth == impl.options.requiredAuthorization;
        hs.accepted = upgrade && authorized;
        std::string offered = hs.headers.count("sec-websocket-extensions") ? hs.headers["sec-websocket-extensions"]
                                                                           : "";
        {
            std::lock_guard<std::mutex> lock(impl.m);
            impl.handshakes.push_back(hs);
        }
        impl.logLine(id, "handshake target=" + printable(hs.target) + " authorization=" + printable(auth) +
                             " extensions=" + printable(offered));
        if (impl.silenceFor(id) == CloudSilence::BeforeUpgrade) {
            impl.logLine(id, "silent before upgrade");
            impl.parked.push_back(shared_from_this());
            return;
        }
        if (!hs.accepted) {
            refusal = std::make_shared<http::response<http::string_body>>(
                upgrade ? http::status::unauthorized : http::status::bad_request, request.version());
            refusal->set(http::field::content_type, "text/plain");
            refusal->body() = upgrade ? "unauthorized\n" : "not a websocket upgrade\n";
            refusal->keep_alive(false);
            refusal->prepare_payload();
            impl.logLine(id, "refused " + std::to_string(refusal->result_int()));
            http::async_write(ws.next_layer(), *refusal,
                              [self = shared_from_this()](const boost::system::error_code&, size_t) {
                                  self->end("refused");
                              });
            return;
        }
        // Counted as open from here: the client may see the 101 before onOpen runs here.
        isOpen = true;
        {
            std::lock_guard<std::mutex> lock(impl.m);
            impl.open++;
            impl.opened[id] = Clock::now();
        }
        impl.latest = shared_from_this();
        beast::get_lowest_layer(ws).expires_never();
        websocket::stream_base::timeout timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws.set_option(timeouts);
        websocket::permessage_deflate deflate;
        deflate.server_enable = impl.options.deflate;
        ws.set_option(deflate);
        ws.read_message_max(16u * 1024u * 1024u);
        ws.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
            // Recorded on arrival: the read ends only after the closing handshake, or with an
            // error when the client cuts the connection meanwhile.
            if (kind == websocket::frame_type::close) return recordClose();
            record(kind == websocket::frame_type::ping ? FrameKind::Ping : FrameKind::Pong,
                   std::string(payload.data(), payload.size()));
        });
        ws.async_accept(request, [self = shared_from_this()](const boost::system::error_code& ec) {
            if (ec) return self->end("accept failed: " + ec.message());
            self->onOpen();
        });
    }

    void onOpen() {
        accepted = true;
        impl.logLine(id, "open");
        trigger(CloudTrigger::Open);
        runActions();
        read();
    }

    void read() {
        ws.async_read(buffer,
                      [self = shared_from_this()](const boost::system::error_code& ec, size_t) { self->onRead(ec); });
    }

    void onRead(const boost::system::error_code& ec) {
        if (!reading) return;
        if (ec) {
            return end(ec == websocket::error::closed ? "closed" : "read ended: " + ec.message());
        }
        std::string data = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        bool binary = ws.got_binary();
        record(binary ? FrameKind::Binary : FrameKind::Text, data);
        if (binary) {
            trigger(CloudTrigger::Binary);
        } else {
            trigger(CloudTrigger::Text);
            if (isHello(data)) trigger(CloudTrigger::Hello);
        }
        read();
    }

    ReceivedFrame frameOf(FrameKind kind) const {
        ReceivedFrame f;
        f.connection = id;
        f.at = Clock::now();
        f.kind = kind;
        return f;
    }

    // Counts the frame and keeps it (pings and pongs only when asked to), under one lock;
    // false when it is not kept.
    bool keep(ReceivedFrame f) {
        const bool control = f.kind == FrameKind::Ping || f.kind == FrameKind::Pong;
        std::lock_guard<std::mutex> lock(impl.m);
        impl.counts[f.kind]++;
        if (control && !impl.options.keepControlFrames) return false;
        impl.frames.push_back(std::move(f));
        return true;
    }

    void recordClose() {
        const auto& why = ws.reason();
        ReceivedFrame f = frameOf(FrameKind::Close);
        f.closeCode = static_cast<uint16_t>(why.code);
        f.closeReason = std::string(why.reason.c_str());
        const std::string line = "recv close " + std::to_string(f.closeCode) + " " + printable(f.closeReason);
        keep(std::move(f));
        impl.logLine(id, line);
    }

    void record(FrameKind kind, const std::string& data) {
        ReceivedFrame f = frameOf(kind);
        f.data = data;
        if (!keep(std::move(f))) return;
        switch (kind) {
        case FrameKind::Text:
            impl.logLine(id, "recv text " + std::to_string(data.size()) + " " + printable(data));
            break;
        case FrameKind::Binary:
            impl.logLine(id, "recv binary " + std::to_string(data.size()));
            break;
        case FrameKind::Ping:
            impl.logLine(id, "recv ping " + printable(data));
            break;
        case FrameKind::Pong:
            impl.logLine(id, "recv pong " + printable(data));
            break;
        case FrameKind::Close:
            break;
        }
    }

    void trigger(CloudTrigger what) {
        int n = ++seen[what];
        std::vector<CloudAction> todo;
        {
            std::lock_guard<std::mutex> lock(impl.m);
            for (const auto& rule : impl.rules) {
                if (rule.on == what && (rule.nth == 0 || rule.nth == n) &&
                    (rule.connection == 0 || rule.connection == id)) {
                    todo.insert(todo.end(), rule.actions.begin(), rule.actions.end());
                }
            }
        }
        queue(std::move(todo));
    }

    void queue(std::vector<CloudAction> more) {
        for (auto& a : more) actions.push_back(std::move(a));
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
        switch (a.kind) {
        case CloudAction::Kind::Text:
        case CloudAction::Kind::Binary: {
            bool binary = a.kind == CloudAction::Kind::Binary;
            auto data = std::make_shared<std::string>(std::move(a.data));
            ws.binary(binary);
            ws.async_write(asio::buffer(*data), [self, data, binary](const boost::system::error_code& ec, size_t) {
                if (ec) {
                    self->impl.logLine(self->id, "send failed: " + ec.message());
                } else if (binary) {
                    self->impl.logLine(self->id, "sent binary " + std::to_string(data->size()));
                } else {
                    self->impl.logLine(self->id, "sent text " + std::to_string(data->size()) + " " + printable(*data));
                }
                self->next();
            });
            break;
        }
        case CloudAction::Kind::Ping: {
            auto data = std::make_shared<std::string>(std::move(a.data));
            ws.async_ping(websocket::ping_data(beast::string_view(data->data(), std::min<size_t>(data->size(), 125))),
                          [self, data](const boost::system::error_code& ec) {
                              self->impl.logLine(self->id,
                                                 ec ? "ping failed: " + ec.message() : "sent ping " + printable(*data));
                              self->next();
                          });
            break;
        }
        case CloudAction::Kind::Close: {
            uint16_t code = a.code;
            std::string reason = a.data.substr(0, 123);
            impl.logLine(id, "sent close " + std::to_string(code) + " " + printable(reason));
            ws.async_close(websocket::close_reason(static_cast<websocket::close_code>(code), reason),
                           [self](const boost::system::error_code& ec) {
                               self->end(ec ? "close failed: " + ec.message() : "closed by server");
                           });
            break;
        }
        case CloudAction::Kind::Drop:
            impl.logLine(id, "drop");
            end("dropped");
            break;
        case CloudAction::Kind::Wait:
            timer.expires_after(std::chrono::milliseconds(a.ms));
            timer.async_wait([self](const boost::system::error_code&) { self->next(); });
            break;
        case CloudAction::Kind::StopReading:
            impl.logLine(id, "stop reading");
            goQuiet();
            next();
            break;
        case CloudAction::Kind::CloseSilently: {
            std::string reason = a.data.substr(0, 123);
            std::string frame = {'\x88', static_cast<char>(2 + reason.size()), static_cast<char>(a.code >> 8),
                                 static_cast<char>(a.code & 0xff)};
            impl.logLine(id, "sent close " + std::to_string(a.code) + " " + printable(reason) + ", then silence");
            goQuiet();
            writeRaw(frame + reason, false);
            break;
        }
        case CloudAction::Kind::Reset:
            impl.logLine(id, "reset");
            goQuiet();
            // A binary frame of 1000 bytes announced, 10 of them sent.
            writeRaw(std::string("\x82\x7e\x03\xe8", 4) + std::string(10, 'x'), true);
            break;
        case CloudAction::Kind::StallInText:
            impl.logLine(id, "stall in a text frame");
            // 100 bytes announced, 24 sent: JSON text, then F0 9F of a four-byte character.
            // Actions end here; reading goes on.
            writeRaw("\x81\x64{\"type\":\"tts\",\"text\":\"\xf0\x9f", false);
            break;
        case CloudAction::Kind::PingFlood:
            floodPings(a.count, 0);
            break;
        }
    }

    void floodPings(int left, int sent) {
        if (left <= 0) {
            impl.logLine(id, "sent " + std::to_string(sent) + " pings");
            return next();
        }
        ws.async_ping({}, [self = shared_from_this(), left, sent](const boost::system::error_code& ec) {
            if (!ec) return self->floodPings(left - 1, sent + 1);
            self->impl.logLine(self->id, "ping flood ended after " + std::to_string(sent) + " pings: " + ec.message());
            self->next();
        });
    }

    // Reads no more: the pending read is cancelled, and the session is kept alive without it.
    void goQuiet() {
        if (!reading) return;
        reading = false;
        beast::get_lowest_layer(ws).cancel();
        impl.parked.push_back(shared_from_this());
    }

    // Bytes straight onto the TLS stream, outside the WebSocket framing; then a TCP reset.
    void writeRaw(std::string bytes, bool resetAfter) {
        auto data = std::make_shared<std::string>(std::move(bytes));
        asio::async_write(ws.next_layer(), asio::buffer(*data),
                          [self = shared_from_this(), data, resetAfter](const boost::system::error_code&, size_t) {
                              if (!resetAfter) return;
                              boost::system::error_code ec;
                              auto& socket = beast::get_lowest_layer(self->ws).socket();
                              socket.set_option(asio::socket_base::linger(true, 0), ec);
                              self->end("reset");
                          });
    }

    void end(const std::string& why) {
        if (ended) return;
        ended = true;
        actions.clear();
        timer.cancel();
        boost::system::error_code ec;
        if (why != "reset") beast::get_lowest_layer(ws).socket().shutdown(tcp::socket::shutdown_both, ec);
        beast::get_lowest_layer(ws).socket().close(ec);
        if (isOpen) {
            std::lock_guard<std::mutex> lock(impl.m);
            impl.open--;
        }
        impl.logLine(id, "ended " + why);
    }
};

void FakeCloud::Impl::acceptNext() {
    acceptor.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        if (ec) return;  // closed by stop()
        int id;
        {
            std::lock_guard<std::mutex> lock(m);
            id = ++connections;
        }
        // Like a real service's WebSocket front end: small frames leave at once.
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        auto session = std::make_shared<Session>(*this, std::move(socket), id);
        sessions.push_back(session);
        logLine(id, "connected");
        if (silenceFor(id) == CloudSilence::BeforeTls) {
            logLine(id, "silent before TLS");
            parked.push_back(session);
        } else {
            session->begin();
        }
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
        boost::system::error_code ec;
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
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->silences[connection] = mode;
}

void FakeCloud::addRule(CloudRule rule) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->rules.push_back(std::move(rule));
}

bool FakeCloud::act(std::vector<CloudAction> actions) {
    if (!impl_->running || openConnections() == 0) return false;
    asio::post(impl_->ioc, [impl = impl_.get(), actions = std::move(actions)]() mutable {
        if (auto s = impl->latest.lock()) s->queue(std::move(actions));
    });
    return true;
}

std::vector<Handshake> FakeCloud::handshakes() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->handshakes;
}

std::vector<ReceivedFrame> FakeCloud::frames() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->frames;
}

std::vector<ReceivedFrame> FakeCloud::frames(FrameKind kind) const {
    std::vector<ReceivedFrame> out;
    std::lock_guard<std::mutex> lock(impl_->m);
    for (const auto& f : impl_->frames) {
        if (f.kind == kind) out.push_back(f);
    }
    return out;
}

size_t FakeCloud::count(FrameKind kind) const {
    std::lock_guard<std::mutex> lock(impl_->m);
    auto it = impl_->counts.find(kind);
    return it == impl_->counts.end() ? 0 : it->second;
}

int FakeCloud::connectionCount() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->connections;
}

int FakeCloud::openConnections() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->open;
}

Clock::time_point FakeCloud::openedAt(int connection) const {
    std::lock_guard<std::mutex> lock(impl_->m);
    auto it = impl_->opened.find(connection);
    return it == impl_->opened.end() ? Clock::time_point{} : it->second;
}

bool FakeCloud::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) const {
    auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool FakeCloud::waitForFrames(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return frames().size() >= count; }, timeout);
}

bool FakeCloud::waitForHandshakes(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return handshakes().size() >= count; }, timeout);
}

}  // namespace cloud_rig
