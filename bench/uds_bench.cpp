// Measures request/reply round trips (24-byte header + 320-byte payload, one
// client) and broadcasts of a 17-byte event to 100 connected clients.
//
//   uds_bench [round_trips] [broadcasts]
//
// The socket lives in a temporary directory; the log goes to logs/ as usual.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/log_utils.h"
#include "common/unix_domain_socket_server.h"

namespace {

using Clock = std::chrono::steady_clock;

class EchoServer : public UnixDomainSocketServer {
public:
    using UnixDomainSocketServer::UnixDomainSocketServer;

protected:
    void handleClientMessage(int fd, const velantis::MessageHeader& header,
                             const std::vector<uint8_t>& payload) override {
        sendMessage(fd, header, payload.empty() ? nullptr : payload.data());
    }
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
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (double s : samples) sum += s;
    auto at = [&](double q) { return samples[static_cast<size_t>(q * (samples.size() - 1))]; };
    std::printf("%-34s n=%zu mean=%.1f us p50=%.1f us p99=%.1f us max=%.1f us\n", what, samples.size(),
                sum / samples.size(), at(0.5), at(0.99), samples.back());
}

}  // namespace

int main(int argc, char** argv) {
    const int round_trips = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int broadcasts = argc > 2 ? std::atoi(argv[2]) : 2000;
    constexpr int kClients = 100;

    char tmpl[] = "/tmp/uds_bench_XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        std::perror("temporary directory");
        return 1;
    }
    const std::string path = std::string(tmpl) + "/bench.sock";

    EchoServer server(path);
    if (!server.start()) return 1;

    // Round trips: one client, AgentCommandPayload-sized requests.
    {
        int fd = connectTo(path);
        std::vector<uint8_t> request(sizeof(velantis::MessageHeader) + 320, 'x');
        std::vector<uint8_t> reply(request.size());
        std::vector<double> samples;
        samples.reserve(round_trips);
        auto start = Clock::now();
        for (int i = 0; i < round_trips; ++i) {
            velantis::MessageHeader h{AGENT_START, 320, UnixDomainSocketServer::getCurrentTimestamp(),
                                      static_cast<uint64_t>(i)};
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

    // Broadcasts: 100 clients, each message read by every client.
    {
        std::vector<int> clients;
        for (int i = 0; i < kClients; ++i) clients.push_back(connectTo(path));
        // Let the server accept all of them: a ping per client, answered once registered.
        for (int fd : clients) {
            velantis::MessageHeader h{AGENT_STOP, 0, 0, 0};
            writeAll(fd, &h, sizeof(h));
            readExact(fd, &h, sizeof(h));
        }
        uint8_t payload[17] = {};
        std::vector<double> call, all;
        for (int i = 0; i < broadcasts; ++i) {
            velantis::MessageHeader h{WAKEWORD_EVENT, sizeof(payload), UnixDomainSocketServer::getCurrentTimestamp(),
                                      0};
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

    server.stop();
    ::rmdir(tmpl);
    return 0;
}
