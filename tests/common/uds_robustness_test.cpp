// UnixDomainSocketServer against bad and slow clients: oversized lengths,
// stalled senders beside served ones, clients whose messages straddle a slow handler,
// clients that never read beside ones that do, replies still queued at the end of a
// client's stream and at stop, descriptor exhaustion, and broadcasts racing with clients
// that come and go.
#include <fcntl.h>
#include <sys/resource.h>

#include <atomic>
#include <iostream>
#include <map>

#include "tests/common/uds_test_support.h"
#include "tests/support/figures.h"
#include "tests/support/files.h"

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

TEST_F(UdsRobustnessTest, PayloadLimitDropsOversizedHeadersOnly) {
    static_assert(velantis::kMaxPayloadLength >= 10 + 65535, "the largest request must pass");
    std::string path = dir_.file("limit.sock");
    RecordingServer server(path);
    ASSERT_TRUE(server.start());

    // The largest message of the system, and a payload of exactly the limit.
    FramedClient big(path);
    for (uint32_t size : {uint32_t{10 + 65535}, velantis::kMaxPayloadLength}) {
        auto payload = pattern(size, 3);
        ASSERT_TRUE(big.send(velantis::makeMessageHeader(TTS_REQUEST, size, size), payload));
        auto reply = big.readMessage();
        ASSERT_TRUE(reply);
        EXPECT_EQ(size, reply->first.id);
        EXPECT_TRUE(reply->second == payload);
    }

    for (uint32_t size : {velantis::kMaxPayloadLength + 1, uint32_t{0xFFFFFFFF}}) {
        FramedClient over(path);
        ASSERT_TRUE(over.send(velantis::makeMessageHeader(TTS_REQUEST, size, 1)));
        EXPECT_TRUE(over.waitClosed());
        EXPECT_EQ(1u, log().count(warn, {"Payload length " + std::to_string(size) + " from client fd=",
                                         "on path " + path + " exceeds the limit of 131072 bytes"}));
    }
    EXPECT_EQ(2u, server.messages().size());

    ASSERT_TRUE(big.send(velantis::makeMessageHeader(AGENT_START, 0, 9)));
    auto reply = big.readMessage();
    ASSERT_TRUE(reply);
    EXPECT_EQ(9u, reply->first.id);
    server.stop();
}

TEST_F(UdsRobustnessTest, StalledSendersAreDroppedAndOthersServed) {
    std::string path = dir_.file("stall.sock");
    RecordingServer server(path);
    ASSERT_TRUE(server.start());

    // Ten clients stop after 5 bytes of a header, one after the header and 10 bytes of
    // its payload; all stay connected.
    constexpr size_t kStalled = 10;
    std::vector<FramedClient> in_header;
    for (size_t i = 0; i < kStalled; ++i) in_header.emplace_back(path);
    FramedClient in_payload(path), dribbler(path), good(path);
    ASSERT_TRUE(server.waitConnected(kStalled + 3));
    const int payload_fd = server.connectedFd(kStalled);
    for (auto& c : in_header) ASSERT_TRUE(c.write(frame(velantis::makeMessageHeader(AGENT_STOP, 320, 1)).data(), 5));
    auto whole = frame(velantis::makeMessageHeader(TTS_REQUEST, 100, 1), pattern(100, 1));
    ASSERT_TRUE(in_payload.write(whole.data(), 24 + 10));

    // Another client's requests are answered at once, not after 2 s per stalled client;
    // a message that arrives in pieces meanwhile is handled once it is whole.
    auto slow = frame(velantis::makeMessageHeader(AGENT_START, 320, 55), pattern(320, 5));
    for (uint64_t id = 70; id < 73; ++id) {
        ASSERT_TRUE(dribbler.write(slow.data() + (id - 70) * 100, 100));
        ASSERT_TRUE(good.send(velantis::makeMessageHeader(AGENT_STOP, 320, id), pattern(320, 2)));
        auto reply = good.readMessage(30s);
        ASSERT_TRUE(reply);
        EXPECT_EQ(id, reply->first.id);
        std::this_thread::sleep_for(100ms);
    }
    // Answered before any stalled client's 2 s ran out.
    EXPECT_EQ(0u, log().count(warn, {"Timed out after 2000 ms waiting for a message from client fd=", path}))
        << "replies waited for the stalled clients";
    ASSERT_TRUE(dribbler.write(slow.data() + 300, slow.size() - 300));
    auto echo = dribbler.readMessage();
    ASSERT_TRUE(echo);
    EXPECT_EQ(55u, echo->first.id);
    EXPECT_TRUE(echo->second == pattern(320, 5));

    // The stalled ones are dropped with their warn lines; the others stay served.
    for (auto& c : in_header) EXPECT_TRUE(c.waitClosed(20s));
    EXPECT_TRUE(in_payload.waitClosed(20s));
    for (size_t i = 0; i < kStalled; ++i) {
        std::string client = "client fd=" + std::to_string(server.connectedFd(i));
        client += " on path ";
        client += path;
        EXPECT_EQ(1u, log().count(warn, {"Incomplete message header from " + client}));
        EXPECT_EQ(1u, log().count(warn, {"Timed out after 2000 ms waiting for a message from " + client}));
    }
    EXPECT_EQ(1u, log().count(warn, {"Incomplete payload from client fd=" + std::to_string(payload_fd)}));
    EXPECT_EQ(kStalled + 1, log().count(warn, {"Timed out after 2000 ms waiting for a message from client fd=", path}));
    EXPECT_EQ(4u, server.messages().size());
    ASSERT_TRUE(good.send(velantis::makeMessageHeader(AGENT_START, 0, 77)));
    auto reply = good.readMessage();
    ASSERT_TRUE(reply);
    EXPECT_EQ(77u, reply->first.id);
    EXPECT_FALSE(dribbler.waitClosed(10ms));
    server.stop();
}

// Speaks for 3 s in the handler of every TTS_REQUEST, as the speech server does.
class SlowServer : public RecordingServer {
public:
    using RecordingServer::RecordingServer;
    std::atomic<bool> speaking{false};

protected:
    void handleClientMessage(int fd, const velantis::MessageHeader& header,
                             const std::vector<uint8_t>& payload) override {
        if (header.type == TTS_REQUEST) {
            speaking = true;
            std::this_thread::sleep_for(3s);
            speaking = false;
        }
        RecordingServer::handleClientMessage(fd, header, payload);
    }
};

TEST_F(UdsRobustnessTest, SlowHandlersCountAgainstNoOtherClient) {
    std::string path = dir_.file("straddle.sock");
    SlowServer server(path);
    ASSERT_TRUE(server.start());

    // B and C are read before A in every pass: each header is in when A's handler starts.
    FramedClient b(path), c(path), a(path);
    ASSERT_TRUE(server.waitConnected(3));
    auto request = [](uint64_t id) { return frame(velantis::makeMessageHeader(AGENT_STOP, 320, id), pattern(320, 4)); };
    const auto rb = request(21), rc = request(22);
    ASSERT_TRUE(b.write(rb.data(), 24));
    ASSERT_TRUE(c.write(rc.data(), 24));
    ASSERT_TRUE(a.send(velantis::makeMessageHeader(TTS_REQUEST, 0, 20)));
    ASSERT_TRUE(test_support::waitUntil([&] { return server.speaking.load(); }, 10s));

    // B's payload arrives while A's handler runs; C's only 1 s after it, after 4 s in all
    // but within 2 s of the server's own time.
    const auto sent_b = Clock::now();
    ASSERT_TRUE(b.write(rb.data() + 24, rb.size() - 24));
    auto reply_a = a.readMessage();
    ASSERT_TRUE(reply_a);
    EXPECT_EQ(20u, reply_a->first.id);
    auto reply_b = b.readMessage();
    ASSERT_TRUE(reply_b) << "dropped for the time another client's handler took";
    const auto b_waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent_b);
    EXPECT_EQ(21u, reply_b->first.id);
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(c.write(rc.data() + 24, rc.size() - 24));
    auto reply_c = c.readMessage();
    ASSERT_TRUE(reply_c) << "dropped for the time another client's handler took";
    EXPECT_EQ(22u, reply_c->first.id);
    EXPECT_TRUE(reply_c->second == pattern(320, 4));
    EXPECT_EQ(0u, log().count(warn, {"Timed out after 2000 ms waiting for a message from client fd=", path}));
    std::cout << "straddling client's reply came " << b_waited.count() << " ms after its payload\n";

    // The server's own time still bounds a client that stalls.
    FramedClient d(path);
    ASSERT_TRUE(d.write(rb.data(), 30));
    EXPECT_TRUE(d.waitClosed(10s));
    EXPECT_EQ(1u, log().count(warn, {"Timed out after 2000 ms waiting for a message from client fd=", path}));
    server.stop();
}

TEST_F(UdsRobustnessTest, QueuedRepliesGoOutBeforeTheClose) {
    std::string path = dir_.file("flush.sock");
    RecordingServer server(path);
    ASSERT_TRUE(server.start());

    // Echoes of 8 x 40 KiB: more than a socket holds, so the last ones wait in the server's
    // queue (which takes them all).
    constexpr size_t kSize = 40 * 1024;
    constexpr uint64_t kCount = 8;
    auto ask = [&](FramedClient& client, uint64_t first) {
        for (uint64_t id = first; id < first + kCount; ++id) {
            ASSERT_TRUE(client.send(velantis::makeMessageHeader(TTS_REQUEST, kSize, id),
                                    pattern(kSize, static_cast<uint8_t>(id))));
        }
    };
    auto takeAll = [&](FramedClient& client, uint64_t first) {
        for (uint64_t id = first; id < first + kCount; ++id) {
            auto m = client.readMessage();
            ASSERT_TRUE(m) << "reply " << id << " lost";
            EXPECT_EQ(id, m->first.id);
            EXPECT_TRUE(m->second == pattern(kSize, static_cast<uint8_t>(id)));
        }
        EXPECT_TRUE(client.waitClosed());
    };

    // A client that has finished sending still gets its replies, then is let go.
    FramedClient done(path);
    ask(done, 10);
    ASSERT_EQ(0, ::shutdown(done.fd(), SHUT_WR));
    ASSERT_TRUE(server.waitMessages(kCount));
    // No event to wait on: meanwhile the server meets the end of the client's stream.
    std::this_thread::sleep_for(200ms);
    takeAll(done, 10);
    EXPECT_TRUE(server.waitEvent("disconnected " + std::to_string(server.connectedFd(0))));

    // stop() lets a client that reads take what is queued for it.
    FramedClient late(path);
    ask(late, 20);
    ASSERT_TRUE(server.waitMessages(2 * kCount));
    std::thread stopper([&] { server.stop(); });
    EXPECT_TRUE(log().waitFor(spdlog::level::info, {"Server loop ended for path: " + path}));
    takeAll(late, 20);
    stopper.join();
}

TEST_F(UdsRobustnessTest, ClientsThatNeverReadAreDropped) {
    std::string path = dir_.file("noread.sock");
    RecordingServer server(path);
    ASSERT_TRUE(server.start());

    constexpr size_t kSleepers = 10;
    FramedClient reader(path);
    std::vector<FramedClient> sleepers;
    for (size_t i = 0; i < kSleepers; ++i) sleepers.emplace_back(path);
    ASSERT_TRUE(server.waitConnected(kSleepers + 1));

    // Far more wake-up events than a client that never reads can hold: no broadcast
    // waits on those, and the reader finds each event waiting as soon as it was sent.
    constexpr uint64_t kEvents = 1000;
    auto event = pattern(17, 17);
    for (uint64_t i = 0; i < kEvents; ++i) {
        server.broadcastMessage(velantis::makeMessageHeader(WAKEWORD_EVENT, 17, i), event.data());
        auto m = reader.readMessage();
        ASSERT_TRUE(m) << i;
        ASSERT_EQ(i, m->first.id);
        ASSERT_TRUE(m->second == event);
    }
    // Dropped for a full queue, not after waiting on them.
    for (size_t i = 0; i < kSleepers; ++i) {
        const std::string fd = std::to_string(server.connectedFd(i + 1));
        std::string dropping = "Dropping client fd=" + fd;
        dropping += " on path ";
        dropping += path;
        EXPECT_EQ(1u, log().count(warn, {dropping, ": its queue is full"}));
        EXPECT_TRUE(server.waitEvent("disconnected " + fd));
        EXPECT_TRUE(sleepers[i].waitClosed());
    }

    // A client that reads late gets what waited for it intact and in order, and the
    // reply to its request after it.
    FramedClient late(path), idle(path);
    ASSERT_TRUE(server.waitConnected(kSleepers + 3));
    const int idle_fd = server.connectedFd(kSleepers + 2);
    for (uint8_t i = 0; i < 8; ++i) {
        auto payload = pattern(32 * 1024, i);
        server.broadcastMessage(velantis::makeMessageHeader(WAKEWORD_EVENT, static_cast<uint32_t>(payload.size()), i),
                                payload.data());
        EXPECT_TRUE(reader.readMessage());
    }
    ASSERT_TRUE(late.send(velantis::makeMessageHeader(AGENT_START, 0, 99)));
    ASSERT_TRUE(server.waitMessages(1));
    for (uint8_t i = 0; i < 8; ++i) {
        auto m = late.readMessage();
        ASSERT_TRUE(m);
        EXPECT_EQ(i, m->first.id);
        EXPECT_TRUE(m->second == pattern(32 * 1024, i)) << int{i};
    }
    auto reply = late.readMessage();
    ASSERT_TRUE(reply);
    EXPECT_EQ(99u, reply->first.id);

    // One that takes nothing of its queue for 2 s is dropped.
    EXPECT_TRUE(log().waitFor(warn, {"Dropping client fd=" + std::to_string(idle_fd) + " on path " + path +
                                     ": it took no message within 2000 ms"}));
    EXPECT_TRUE(idle.waitClosed());
    EXPECT_FALSE(late.waitClosed(10ms));

    // A client that sends requests but never reads the replies.
    FramedClient greedy(path);
    ASSERT_TRUE(server.waitConnected(kSleepers + 4));
    const int greedy_fd = server.connectedFd(kSleepers + 3);
    std::thread flood([&] {
        auto req = frame(velantis::makeMessageHeader(TTS_REQUEST, 64 * 1024, 1), pattern(64 * 1024, 9));
        for (int i = 0; i < 20; ++i) {
            if (!greedy.write(req)) return;  // the server has dropped it
        }
    });
    EXPECT_TRUE(log().waitFor(warn, {"Dropping client fd=" + std::to_string(greedy_fd) + " on path " + path}, 20s));
    EXPECT_TRUE(server.waitEvent("disconnected " + std::to_string(greedy_fd)));
    flood.join();

    ASSERT_TRUE(reader.send(velantis::makeMessageHeader(AGENT_STOP, 0, 5)));
    auto last = reader.readMessage();
    ASSERT_TRUE(last);
    EXPECT_EQ(5u, last->first.id);
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
    FramedClient early(path);
    ASSERT_TRUE(server.waitConnected(1));

    std::vector<int> fillers;
    for (;;) {
        int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
        if (fd >= FD_SETSIZE - 4) break;
    }
    // Clients until the server's end of one lands at or above FD_SETSIZE.
    std::vector<FramedClient> late;
    bool refused = false;
    for (int i = 0; i < 6 && !refused; ++i) {
        late.emplace_back(path);
        ASSERT_TRUE(late.back().connected());
        // A refused client may find its connection closed before it sends.
        bool sent = late.back().send(velantis::makeMessageHeader(AGENT_START, 0, 100 + i));
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
    // A socket handed in as a client is refused the same way, and closed.
    int pair[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    const int high = FD_SETSIZE + 8;
    ASSERT_EQ(high, ::dup3(pair[0], high, O_CLOEXEC));
    ::close(pair[0]);
    EXPECT_FALSE(server.addClient(high));
    EXPECT_EQ(-1, ::fcntl(high, F_GETFD));
    EXPECT_EQ(1u, log().count(warn, {"Refusing client fd=" + std::to_string(high) + " on path " + path}));
    ::close(pair[1]);

    // The others are still served, and new clients are once descriptors free up.
    ASSERT_TRUE(early.send(velantis::makeMessageHeader(AGENT_STOP, 0, 1)));
    EXPECT_TRUE(early.readMessage());
    late.clear();
    for (int fd : fillers) ::close(fd);
    FramedClient after(path);
    ASSERT_TRUE(after.send(velantis::makeMessageHeader(AGENT_STOP, 0, 2)));
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
        sendMessage(fd, velantis::makeMessageHeader(WAKEWORD_STATE, 66, 0), payload.data());
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
    const size_t fds_before = test_support::descriptorCount(::getpid());
    {
        GreetingServer server(path, false);
        ASSERT_TRUE(server.start());
        FramedClient steady(path);
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
                    server.broadcastMessage(velantis::makeMessageHeader(WAKEWORD_EVENT, 17, 0), event.data());
                    std::this_thread::sleep_for(200us);
                }
            });
        }
        for (int c = 0; c < 4; ++c) {
            threads.emplace_back([&, c] {
                int round = 0;
                while (!done) {
                    FramedClient cl(path);
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
    EXPECT_EQ(fds_before, test_support::descriptorCount(::getpid())) << "a descriptor leaked or was closed twice";
    EXPECT_EQ(0u, log().count(err, {"Select error on path " + path}));
}

}  // namespace
