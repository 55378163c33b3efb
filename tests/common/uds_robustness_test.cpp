// UnixDomainSocketServer against bad and slow clients: oversized lengths,
// stalled senders, clients that never read, descriptor exhaustion, and
// broadcasts racing with clients that come and go.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <atomic>
#include <map>

#include "tests/common/uds_test_support.h"

using namespace uds_test;
using spdlog::level::err;
using spdlog::level::warn;

namespace {

class UdsRobustnessTest : public UdsTest {};

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

size_t openDescriptors() {
    size_t n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    ::closedir(d);
    return n - 1;  // the directory stream itself
}

TEST_F(UdsRobustnessTest, PayloadLimitDropsOversizedHeadersOnly) {
    static_assert(velantis::kMaxPayloadLength >= 10 + 65535, "the largest request must pass");
    std::string path = dir_.file("limit.sock");
    RecordingServer server(path);
    ASSERT_TRUE(server.start());

    // The largest message of the system, and a payload of exactly the limit.
    Client big(path);
    for (uint32_t size : {uint32_t{10 + 65535}, velantis::kMaxPayloadLength}) {
        auto payload = pattern(size, 3);
        ASSERT_TRUE(big.send(makeHeader(TTS_REQUEST, size, size), payload));
        auto reply = big.readMessage();
        ASSERT_TRUE(reply);
        EXPECT_EQ(size, reply->first.id);
        EXPECT_TRUE(reply->second == payload);
    }

    for (uint32_t size : {velantis::kMaxPayloadLength + 1, uint32_t{0xFFFFFFFF}}) {
        Client over(path);
        ASSERT_TRUE(over.send(makeHeader(TTS_REQUEST, size, 1)));
        EXPECT_TRUE(over.waitClosed());
        EXPECT_EQ(1u, log().count(warn, {"Payload length " + std::to_string(size) + " from client fd=",
                                         "on path " + path + " exceeds the limit of 131072 bytes"}));
    }
    EXPECT_EQ(2u, server.messages().size());

    ASSERT_TRUE(big.send(makeHeader(AGENT_START, 0, 9)));
    auto reply = big.readMessage();
    ASSERT_TRUE(reply);
    EXPECT_EQ(9u, reply->first.id);
    server.stop();
}

TEST_F(UdsRobustnessTest, StalledSendersAreDroppedAndOthersServed) {
    std::string path = dir_.file("stall.sock");
    RecordingServer server(path);
    ASSERT_TRUE(server.start());

    Client in_header(path), in_payload(path), good(path);
    ASSERT_TRUE(server.waitConnected(3));
    const int header_fd = server.connectedFd(0), payload_fd = server.connectedFd(1);

    uint8_t ten[10] = {0xd1, 0x07};
    ASSERT_TRUE(in_header.write(ten, sizeof(ten)));
    auto whole = frame(makeHeader(TTS_REQUEST, 100, 1), pattern(100, 1));
    ASSERT_TRUE(in_payload.write(whole.data(), 24 + 10));

    // Both stop writing but stay connected; the server gives up on them and
    // then serves the good client.
    auto t0 = Clock::now();
    ASSERT_TRUE(good.send(makeHeader(AGENT_START, 0, 77)));
    auto reply = good.readMessage(20s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(77u, reply->first.id);
    EXPECT_LT(Clock::now() - t0, 20s);

    EXPECT_TRUE(in_header.waitClosed(20s));
    EXPECT_TRUE(in_payload.waitClosed(20s));
    EXPECT_TRUE(log().waitFor(warn, {"Incomplete message header from client fd=" + std::to_string(header_fd)}));
    EXPECT_TRUE(log().waitFor(warn, {"Incomplete payload from client fd=" + std::to_string(payload_fd)}));
    EXPECT_EQ(2u, log().count(warn, {"Timed out after 2000 ms waiting for a message from client fd=", path}));
    EXPECT_EQ(1u, server.messages().size());
    server.stop();
}

TEST_F(UdsRobustnessTest, ClientsThatNeverReadAreDropped) {
    std::string path = dir_.file("noread.sock");
    RecordingServer server(path);
    ASSERT_TRUE(server.start());

    Client reader(path), sleeper(path);
    ASSERT_TRUE(server.waitConnected(2));
    const int sleeper_fd = server.connectedFd(1);

    constexpr int kCount = 40;
    std::vector<std::vector<uint8_t>> got;
    std::thread drain([&] {
        for (int i = 0; i < kCount; ++i) {
            auto m = reader.readMessage(30s);
            if (!m) return;
            got.push_back(std::move(m->second));
        }
    });
    auto t0 = Clock::now();
    for (int i = 0; i < kCount; ++i) {
        auto payload = pattern(32 * 1024, static_cast<uint8_t>(i));
        server.broadcastMessage(makeHeader(WAKEWORD_EVENT, static_cast<uint32_t>(payload.size()), i), payload.data());
    }
    auto elapsed = Clock::now() - t0;
    drain.join();
    EXPECT_LT(elapsed, 20s);

    ASSERT_EQ(static_cast<size_t>(kCount), got.size());
    for (int i = 0; i < kCount; ++i) EXPECT_TRUE(got[i] == pattern(32 * 1024, static_cast<uint8_t>(i))) << i;
    EXPECT_EQ(1u, log().count(warn, {"Dropping client fd=" + std::to_string(sleeper_fd) + " on path " + path +
                                     ": it took no message within 2000 ms"}));
    EXPECT_TRUE(server.waitEvent("disconnected " + std::to_string(sleeper_fd)));
    EXPECT_TRUE(sleeper.waitClosed());

    // A client that sends requests but never reads the replies.
    Client greedy(path);
    ASSERT_TRUE(server.waitConnected(3));
    const int greedy_fd = server.connectedFd(2);
    std::thread flood([&] {
        auto req = frame(makeHeader(TTS_REQUEST, 64 * 1024, 1), pattern(64 * 1024, 9));
        for (int i = 0; i < 20; ++i) {
            if (!greedy.write(req)) return;  // the server has dropped it
        }
    });
    EXPECT_TRUE(log().waitFor(warn, {"Dropping client fd=" + std::to_string(greedy_fd) + " on path " + path}, 20s));
    EXPECT_TRUE(server.waitEvent("disconnected " + std::to_string(greedy_fd)));
    flood.join();

    ASSERT_TRUE(reader.send(makeHeader(AGENT_STOP, 0, 5)));
    auto reply = reader.readMessage();
    ASSERT_TRUE(reply);
    EXPECT_EQ(5u, reply->first.id);
    server.stop();
}

TEST_F(UdsRobustnessTest, DescriptorsAtFdSetSizeAreRefused) {
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    const rlim_t wanted = FD_SETSIZE + 64;
    if (old.rlim_max != RLIM_INFINITY && old.rlim_max < wanted) {
        GTEST_SKIP() << "descriptor limit " << old.rlim_max << " too low to reach FD_SETSIZE";
    }
    rlimit raised = old;
    if (raised.rlim_cur == RLIM_INFINITY || raised.rlim_cur < wanted) raised.rlim_cur = wanted;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &raised));

    std::string path = dir_.file("fdset.sock");
    RecordingServer server(path);
    ASSERT_TRUE(server.start());
    Client early(path);
    ASSERT_TRUE(server.waitConnected(1));

    std::vector<int> fillers;
    for (;;) {
        int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
        if (fd >= FD_SETSIZE - 4) break;
    }
    // Clients until the server's end of one lands at or above FD_SETSIZE.
    std::vector<Client> late;
    bool refused = false;
    for (int i = 0; i < 6 && !refused; ++i) {
        late.emplace_back(path);
        ASSERT_TRUE(late.back().connected());
        // A refused client may find its connection closed before it sends.
        bool sent = late.back().send(makeHeader(AGENT_START, 0, 100 + i));
        auto reply = sent ? late.back().readMessage(5s) : std::nullopt;
        if (!reply) {
            refused = true;
        } else {
            EXPECT_EQ(static_cast<uint64_t>(100 + i), reply->first.id);
        }
    }
    EXPECT_TRUE(refused);
    EXPECT_TRUE(log().waitFor(warn, {"Refusing client fd=", "on path " + path,
                                     "descriptors must stay below FD_SETSIZE (1024)"}));

    // The others are still served, and new clients are once descriptors free up.
    ASSERT_TRUE(early.send(makeHeader(AGENT_STOP, 0, 1)));
    EXPECT_TRUE(early.readMessage());
    late.clear();
    for (int fd : fillers) ::close(fd);
    Client after(path);
    ASSERT_TRUE(after.send(makeHeader(AGENT_STOP, 0, 2)));
    auto reply = after.readMessage();
    ASSERT_TRUE(reply);
    EXPECT_EQ(2u, reply->first.id);
    server.stop();
    setrlimit(RLIMIT_NOFILE, &old);
}

// Greets every client from onClientConnected, as the wake-word server does.
class GreetingServer : public RecordingServer {
public:
    using RecordingServer::RecordingServer;

protected:
    void onClientConnected(int fd) override {
        auto payload = pattern(66, 66);
        sendMessage(fd, makeHeader(WAKEWORD_STATE, 66, 0), payload.data());
        RecordingServer::onClientConnected(fd);
    }
};

bool wellFormed(const velantis::MessageHeader& h, const std::vector<uint8_t>& p) {
    if (h.type == WAKEWORD_STATE) return p == pattern(66, 66);
    if (h.type == WAKEWORD_EVENT) return p == pattern(17, 17);
    return false;
}

TEST_F(UdsRobustnessTest, BroadcastsRaceWithClientsComingAndGoing) {
    std::string path = dir_.file("churn.sock");
    const size_t fds_before = openDescriptors();
    {
        GreetingServer server(path, false);
        ASSERT_TRUE(server.start());
        Client steady(path);
        auto first = steady.readMessage();
        ASSERT_TRUE(first);
        EXPECT_EQ(static_cast<uint32_t>(WAKEWORD_STATE), first->first.type);

        std::atomic<bool> done{false};
        std::atomic<int> bad{0}, steady_count{0};
        std::vector<std::thread> threads;
        auto event = pattern(17, 17);
        for (int b = 0; b < 2; ++b) {
            threads.emplace_back([&] {
                while (!done) {
                    server.broadcastMessage(makeHeader(WAKEWORD_EVENT, 17, 0), event.data());
                    std::this_thread::sleep_for(200us);
                }
            });
        }
        for (int c = 0; c < 4; ++c) {
            threads.emplace_back([&, c] {
                int round = 0;
                while (!done) {
                    Client cl(path);
                    if (!cl.connected()) continue;
                    if ((round++ + c) % 2 == 0) {
                        // Vanish for sending: broadcasts fail on it and drop it.
                        ::shutdown(cl.fd(), SHUT_RD);
                        std::this_thread::sleep_for(2ms);
                    } else {
                        auto m = cl.readMessage(2s);
                        if (m && !wellFormed(m->first, m->second)) ++bad;
                    }
                }
            });
        }
        threads.emplace_back([&] {
            while (!done) {
                auto m = steady.readMessage(500ms);
                if (!m) continue;
                if (!wellFormed(m->first, m->second)) ++bad;
                ++steady_count;
            }
        });
        std::this_thread::sleep_for(1500ms);
        done = true;
        for (auto& t : threads) t.join();
        EXPECT_EQ(0, bad.load());
        EXPECT_GT(steady_count.load(), 10);
        server.stop();

        // Every client is removed at most once: per descriptor, as many
        // disconnections as connections, or one fewer for those open at stop.
        std::map<int, int> balance;
        size_t connections = 0;
        for (const auto& e : server.events()) {
            if (e.rfind("connected ", 0) == 0) {
                ++balance[std::stoi(e.substr(10))];
                ++connections;
            } else if (e.rfind("disconnected ", 0) == 0) {
                --balance[std::stoi(e.substr(13))];
            }
        }
        EXPECT_GT(connections, 20u);
        for (const auto& [fd, n] : balance) EXPECT_TRUE(n == 0 || n == 1) << "fd " << fd << ": " << n;
    }
    EXPECT_EQ(fds_before, openDescriptors()) << "a descriptor leaked or was closed twice";
    EXPECT_EQ(0u, log().count(err, {"Select error on path " + path}));
}

}  // namespace
