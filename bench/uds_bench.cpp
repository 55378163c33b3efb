// Measures request/reply round trips (24-byte header + 320-byte payload, one
// client), broadcasts of a 17-byte event to 100 connected clients, AGENT_STOP-like
// replies while ten other clients have stopped in the middle of a header, and the
// delivery of wake-up events to a reading client beside 100 clients that never read.
//
//   uds_bench [round_trips] [broadcasts] [stalled_round_trips] [wakeups]
//
// The socket lives in a temporary directory; the log goes to logs/ as usual.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/log_utils.h"
#include "common/unix_domain_socket_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// Echoes every message; answers AGENT_STOP with a bare header, as the agent does.
class EchoServer : public UnixDomainSocketServer {
public:
    using UnixDomainSocketServer::UnixDomainSocketServer;
    std::atomic<int> disconnected{0};

protected:
    void handleClientMessage(int fd, const velantis::MessageHeader& header,
                             const std::vector<uint8_t>& payload) override {
        if (header.type == AGENT_STOP) {
            velantis::MessageHeader reply = header;
            reply.length = 0;
            sendMessage(fd, reply, nullptr);
            return;
        }
        sendMessage(fd, header, payload.empty() ? nullptr : payload.data());
    }
    void onClientDisconnected(int) override { ++disconnected; }
};

int connectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

void readExact(int fd, void* data, size_t size) {
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, p, size, 0);
        if (n <= 0) {
            std::fprintf(stderr, "connection lost\n");
            std::exit(1);
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
}

void writeAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0) {
            std::perror("send");
            std::exit(1);
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
}

double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void report(const char* what, std::vector<double>& samples) {
    if (samples.empty()) return;
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (double s : samples) sum += s;
    auto at = [&](double q) { return samples[static_cast<size_t>(q * (samples.size() - 1))]; };
    std::printf("%-34s n=%zu mean=%.1f us p50=%.1f us p99=%.1f us max=%.1f us\n", what, samples.size(),
                sum / samples.size(), at(0.5), at(0.99), samples.back());
}

// Round trips: one client, AgentCommandPayload-sized requests.
void benchRoundTrips(const std::string& path, int round_trips) {
    int fd = connectTo(path);
    std::vector<uint8_t> request(sizeof(velantis::MessageHeader) + 320, 'x');
    std::vector<uint8_t> reply(request.size());
    std::vector<double> samples;
    samples.reserve(round_trips);
    auto start = Clock::now();
    for (int i = 0; i < round_trips; ++i) {
        const velantis::MessageHeader h = velantis::makeMessageHeader(AGENT_START, 320, static_cast<uint64_t>(i));
        std::memcpy(request.data(), &h, sizeof(h));
        auto t0 = Clock::now();
        writeAll(fd, request.data(), request.size());
        readExact(fd, reply.data(), reply.size());
        samples.push_back(us(Clock::now() - t0));
    }
    double total = std::chrono::duration<double>(Clock::now() - start).count();
    report("round trip (24 + 320 bytes)", samples);
    std::printf("%-34s %.0f round trips/s\n", "", round_trips / total);
    ::close(fd);
}

// Connects `count` clients and waits until the server has registered each: a ping per
// client, answered once registered.
std::vector<int> connectRegistered(const std::string& path, int count) {
    std::vector<int> clients;
    for (int i = 0; i < count; ++i) clients.push_back(connectTo(path));
    for (int fd : clients) {
        velantis::MessageHeader h = velantis::makeMessageHeader(AGENT_STOP, 0, 0);
        writeAll(fd, &h, sizeof(h));
        readExact(fd, &h, sizeof(h));
    }
    return clients;
}

// Broadcasts: 100 clients, each message read by every client.
void benchBroadcasts(EchoServer& server, const std::string& path, int broadcasts) {
    std::vector<int> clients = connectRegistered(path, 100);
    uint8_t payload[17] = {};
    std::vector<double> call, all;
    for (int i = 0; i < broadcasts; ++i) {
        const velantis::MessageHeader h = velantis::makeMessageHeader(WAKEWORD_EVENT, sizeof(payload), 0);
        auto t0 = Clock::now();
        server.broadcastMessage(h, payload);
        auto t1 = Clock::now();
        uint8_t buf[sizeof(h) + sizeof(payload)];
        for (int fd : clients) readExact(fd, buf, sizeof(buf));
        auto t2 = Clock::now();
        call.push_back(us(t1 - t0));
        all.push_back(us(t2 - t0));
    }
    report("broadcast to 100: call", call);
    report("broadcast to 100: all received", all);
    for (int fd : clients) ::close(fd);
}

// AGENT_STOP (320-byte payload, bare-header reply) from one client while ten others
// have sent 5 bytes of a header and stopped. They are dropped after 2 s; the requests
// run before that.
void benchStalled(EchoServer& server, const std::string& path, int round_trips) {
    std::vector<int> stalled = connectRegistered(path, 10);
    const int before = server.disconnected.load();
    const velantis::MessageHeader partial = velantis::makeMessageHeader(AGENT_STOP, 320, 0);
    for (int fd : stalled) writeAll(fd, &partial, 5);
    int fd = connectTo(path);
    std::vector<uint8_t> request(sizeof(velantis::MessageHeader) + 320, 'x');
    std::vector<double> samples;
    auto start = Clock::now();
    for (int i = 0; i < round_trips && Clock::now() - start < std::chrono::milliseconds(1500); ++i) {
        velantis::MessageHeader h = velantis::makeMessageHeader(AGENT_STOP, 320, static_cast<uint64_t>(i));
        std::memcpy(request.data(), &h, sizeof(h));
        auto t0 = Clock::now();
        writeAll(fd, request.data(), request.size());
        readExact(fd, &h, sizeof(h));
        samples.push_back(us(Clock::now() - t0));
    }
    if (!samples.empty()) std::printf("%-34s first reply %.1f us\n", "AGENT_STOP beside 10 stalled", samples.front());
    report("AGENT_STOP beside 10 stalled", samples);
    while (server.disconnected.load() - before < 10 && Clock::now() - start < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("%-34s %d of 10 dropped after %.2f s\n", "", server.disconnected.load() - before,
                std::chrono::duration<double>(Clock::now() - start).count());
    for (int s : stalled) ::close(s);
    ::close(fd);
}

// Wake-up events (17 bytes) to one reading client beside 100 that never read: the
// time from the broadcast call to the event's arrival at the reader, while all 100 are
// connected (their socket buffers filling, then their queues), in the broadcasts that
// drop them (queue full), and afterwards.
void benchWakeups(EchoServer& server, const std::string& path, int wakeups) {
    std::vector<int> sleepers = connectRegistered(path, 100);
    int reader = connectRegistered(path, 1).front();
    const int before = server.disconnected.load();
    uint8_t payload[17] = {};
    std::vector<double> call[3], delivered[3];
    for (int i = 0; i < wakeups; ++i) {
        const velantis::MessageHeader h = velantis::makeMessageHeader(WAKEWORD_EVENT, sizeof(payload),
                                                                      static_cast<uint64_t>(i));
        const int gone_before = server.disconnected.load() - before;
        auto t0 = Clock::now();
        server.broadcastMessage(h, payload);
        auto t1 = Clock::now();
        uint8_t buf[sizeof(h) + sizeof(payload)];
        readExact(reader, buf, sizeof(buf));
        auto t2 = Clock::now();
        const int gone_after = server.disconnected.load() - before;
        const int phase = gone_after == 0 ? 0 : (gone_before < 100 ? 1 : 2);
        call[phase].push_back(us(t1 - t0));
        delivered[phase].push_back(us(t2 - t0));
    }
    const char* names[3][2] = {{"wake-up, 100 idle: call", "wake-up, 100 idle: delivered"},
                               {"wake-up dropping idle: call", "wake-up dropping idle: delivered"},
                               {"wake-up, idle gone: call", "wake-up, idle gone: delivered"}};
    for (int phase = 0; phase < 3; ++phase) {
        if (call[phase].empty()) continue;
        report(names[phase][0], call[phase]);
        report(names[phase][1], delivered[phase]);
    }
    std::printf("%-34s %d of 100 non-readers dropped\n", "", server.disconnected.load() - before);
    for (int fd : sleepers) ::close(fd);
    ::close(reader);
}

}  // namespace

int main(int argc, char** argv) {
    const int round_trips = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int broadcasts = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int stalled_round_trips = argc > 3 ? std::atoi(argv[3]) : 200;
    const int wakeups = argc > 4 ? std::atoi(argv[4]) : 1000;

    char tmpl[] = "/tmp/uds_bench_XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        std::perror("temporary directory");
        return 1;
    }
    const std::string path = std::string(tmpl) + "/bench.sock";

    EchoServer server(path);
    if (!server.start()) return 1;
    benchRoundTrips(path, round_trips);
    benchBroadcasts(server, path, broadcasts);
    benchStalled(server, path, stalled_round_trips);
    benchWakeups(server, path, wakeups);
    server.stop();
    ::rmdir(tmpl);
    return 0;
}
