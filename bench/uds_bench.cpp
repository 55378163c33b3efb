// Figures of the Unix-domain socket server, on a socket in a temporary directory:
//   uds_bench [round_trips] [broadcasts] [stalled_round_trips] [wakeups]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "common/log_utils.h"
#include "common/unix_domain_socket_server.h"
#include "tests/support/files.h"
#include "tests/support/framed_client.h"
#include "tests/support/temp_dir.h"

namespace {

using bench::Clock;
using bench::us;
using test_support::FramedClient;
using velantis::makeMessageHeader;
using velantis::MessageHeader;

// Echoes every message; answers AGENT_STOP with a bare header, as the agent does.
class EchoServer : public UnixDomainSocketServer {
public:
    using UnixDomainSocketServer::UnixDomainSocketServer;
    std::atomic<int> disconnected{0};

protected:
    void handleClientMessage(int fd, const MessageHeader& header, const std::vector<uint8_t>& payload) override {
        MessageHeader reply = header;
        if (header.type == AGENT_STOP) reply.length = 0;
        sendMessage(fd, reply, reply.length == 0 ? nullptr : payload.data());
    }
    void onClientDisconnected(int) override { ++disconnected; }
};

// A failed connect or transfer ends the run.
void need(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "%s failed\n", what);
    std::exit(1);
}

FramedClient connectTo(const std::string& path) {
    FramedClient c(path);
    need(c.connected(), "connect");
    return c;
}

// A blocking read, as the server's clients do it.
void readExact(const FramedClient& c, void* data, size_t size) {
    need(test_support::recvExact(c.fd(), data, size), "receive");
}

void report(const char* what, const std::vector<double>& samples) {
    if (!samples.empty()) std::printf("%-34s %s\n", what, bench::Summary(samples).text(1, "us").c_str());
}

// Up to `count` requests of `type` with a 320-byte payload (AgentCommandPayload's size) for
// `limit` at most: the time of each until its reply of `reply_size` bytes, in microseconds.
std::vector<double> requests(FramedClient& c, uint32_t type, int count, size_t reply_size, Clock::duration limit) {
    std::vector<double> samples;
    samples.reserve(count);
    const auto start = Clock::now();
    for (int i = 0; i < count && Clock::now() - start < limit; ++i) {
        const auto request = test_support::frame(makeMessageHeader(type, 320, i), std::vector<uint8_t>(320, 'x'));
        std::vector<uint8_t> reply(reply_size);
        const auto t0 = Clock::now();
        need(c.write(request), "send");
        readExact(c, reply.data(), reply.size());
        samples.push_back(us(Clock::now() - t0));
    }
    return samples;
}

void benchRoundTrips(const std::string& path, int round_trips) {
    FramedClient c = connectTo(path);
    const auto start = Clock::now();
    auto samples = requests(c, AGENT_START, round_trips, sizeof(MessageHeader) + 320, Clock::duration::max());
    report("round trip (24 + 320 bytes)", samples);
    std::printf("%-34s %.0f round trips/s\n", "", round_trips / bench::secondsSince(start));
}

// Connects `count` clients and waits until the server has registered each: a ping per
// client, answered once registered.
std::vector<FramedClient> connectRegistered(const std::string& path, int count) {
    std::vector<FramedClient> clients;
    for (int i = 0; i < count; ++i) clients.push_back(connectTo(path));
    for (auto& c : clients) {
        MessageHeader h = makeMessageHeader(AGENT_STOP, 0, 0);
        need(c.send(h), "send");
        readExact(c, &h, sizeof(h));
    }
    return clients;
}

// Broadcasts of a 17-byte event: the time of the call, and until each of `readers` has it.
// The samples go by phase(clients dropped before the call, after the read), names[2 * phase]
// and names[2 * phase + 1].
template <class Phase>
void benchBroadcasts(EchoServer& server, const std::vector<FramedClient>& readers, int broadcasts,
                     const std::vector<const char*>& names, Phase phase) {
    uint8_t payload[17] = {};
    std::vector<std::vector<double>> call(names.size() / 2), received(names.size() / 2);
    for (int i = 0; i < broadcasts; ++i) {
        const MessageHeader h = makeMessageHeader(WAKEWORD_EVENT, sizeof(payload), i);
        const int gone_before = server.disconnected.load();
        const auto t0 = Clock::now();
        server.broadcastMessage(h, payload);
        const auto t1 = Clock::now();
        uint8_t buf[sizeof(h) + sizeof(payload)];
        for (const auto& c : readers) readExact(c, buf, sizeof(buf));
        const auto t2 = Clock::now();
        const size_t at = phase(gone_before, server.disconnected.load());
        call[at].push_back(us(t1 - t0));
        received[at].push_back(us(t2 - t0));
    }
    for (size_t at = 0; at < call.size(); ++at) {
        report(names[2 * at], call[at]);
        report(names[2 * at + 1], received[at]);
    }
}

// AGENT_STOP (bare-header reply) from one client while ten others have sent 5 bytes of a
// header and stopped. They are dropped after 2 s; the requests run before that.
void benchStalled(EchoServer& server, const std::string& path, int round_trips) {
    std::vector<FramedClient> stalled = connectRegistered(path, 10);
    const int before = server.disconnected.load();
    for (auto& c : stalled) need(c.write(test_support::frame(makeMessageHeader(AGENT_STOP, 320, 0)).data(), 5), "send");
    FramedClient c = connectTo(path);
    const auto start = Clock::now();
    auto samples = requests(c, AGENT_STOP, round_trips, sizeof(MessageHeader), std::chrono::milliseconds(1500));
    if (!samples.empty()) std::printf("%-34s first reply %.1f us\n", "AGENT_STOP beside 10 stalled", samples.front());
    report("AGENT_STOP beside 10 stalled", samples);
    test_support::waitUntil([&] { return server.disconnected.load() - before >= 10; }, std::chrono::seconds(10));
    std::printf("%-34s %d of 10 dropped after %.2f s\n", "", server.disconnected.load() - before,
                bench::secondsSince(start));
}

}  // namespace

int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape): a benchmark that throws has failed
    auto arg = [&](int i, int fallback) { return argc > i ? std::atoi(argv[i]) : fallback; };

    const test_support::TempDir dir("uds_bench");
    const std::string path = dir.file("bench.sock");
    EchoServer server(path);
    if (!server.start()) return 1;
    benchRoundTrips(path, arg(1, 20000));
    benchBroadcasts(server, connectRegistered(path, 100), arg(2, 2000),
                    {"broadcast to 100: call", "broadcast to 100: all received"}, [](int, int) { return 0; });
    benchStalled(server, path, arg(3, 200));
    // Wake-ups to one reader beside 100 clients that never read: while all 100 are connected
    // (their socket buffers filling, then their queues), in the broadcasts that drop them
    // (queue full), and afterwards.
    const auto sleepers = connectRegistered(path, 100);
    const auto reader = connectRegistered(path, 1);
    const int before = server.disconnected.load();
    benchBroadcasts(server, reader, arg(4, 1000),
                    {"wake-up, 100 idle: call", "wake-up, 100 idle: delivered", "wake-up dropping idle: call",
                     "wake-up dropping idle: delivered", "wake-up, idle gone: call", "wake-up, idle gone: delivered"},
                    [&](int gone_before, int gone_after) {
                        return gone_after == before ? 0 : (gone_before - before < 100 ? 1 : 2);
                    });
    std::printf("%-34s %d of 100 non-readers dropped\n", "", server.disconnected.load() - before);
    server.stop();
    return 0;
}
