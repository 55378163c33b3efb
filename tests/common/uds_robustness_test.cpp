// UnixDomainSocketServer against bad, slow and vanishing clients, beside ones it serves, and
// with every descriptor taken.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <map>

#include "tests/common/uds_test_support.h"
#include "tests/support/figures.h"
#include "tests/support/files.h"

using namespace uds_test;

namespace {

using UdsRobustnessTest = UdsTest;

const std::string kTimedOut = "Timed out after 2000 ms waiting for a message from ";

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

TEST_F(UdsRobustnessTest, PayloadLimitDropsOversizedHeadersOnly) {
    static_assert(velantis::kMaxPayloadLength >= 10 + 65535, "the largest request must pass");
    ASSERT_TRUE(server_.start());

    // The largest message of the system, and a payload of exactly the limit.
    FramedClient big(path_);
    for (uint32_t size : {uint32_t{10 + 65535}, velantis::kMaxPayloadLength}) {
        auto payload = pattern(size, 3);
        ASSERT_TRUE(big.send(TTS_REQUEST, size, payload));
        EXPECT_TRUE(got(big.readMessage(), size, payload)) << size;
    }

    for (uint32_t size : {velantis::kMaxPayloadLength + 1, uint32_t{0xFFFFFFFF}}) {
        FramedClient over(path_);
        ASSERT_TRUE(over.send(makeMessageHeader(TTS_REQUEST, size, 1)));
        EXPECT_TRUE(over.waitClosed());
        EXPECT_EQ(1u, log_.count(warn, {"Payload length " + std::to_string(size) + " from client fd=",
                                        "on path " + path_ + " exceeds the limit of 131072 bytes"}));
    }
    EXPECT_EQ(2u, server_.messages().size());

    EXPECT_EQ(9u, replyId(big, AGENT_START, 9));
}

TEST_F(UdsRobustnessTest, StalledSendersAreDroppedAndOthersServed) {
    ASSERT_TRUE(server_.start());

    // Ten clients stop after 5 bytes of a header, one after the header and 10 bytes of
    // its payload; all stay connected.
    constexpr size_t kStalled = 10;
    std::vector<FramedClient> in_header;
    for (size_t i = 0; i < kStalled; ++i) in_header.emplace_back(path_);
    FramedClient in_payload(path_), dribbler(path_), good(path_);
    ASSERT_TRUE(server_.waitConnected(kStalled + 3));
    for (auto& c : in_header) ASSERT_TRUE(c.write(frame(makeMessageHeader(AGENT_STOP, 320, 1)).data(), 5));
    auto whole = frame(makeMessageHeader(TTS_REQUEST, 100, 1), pattern(100, 1));
    ASSERT_TRUE(in_payload.write(whole.data(), 24 + 10));

    // Another client's requests are answered at once, not after 2 s per stalled client;
    // a message that arrives in pieces meanwhile is handled once it is whole.
    auto slow = frame(makeMessageHeader(AGENT_START, 320, 55), pattern(320, 5));
    for (uint64_t id = 70; id < 73; ++id) {
        ASSERT_TRUE(dribbler.write(slow.data() + (id - 70) * 100, 100));
        ASSERT_EQ(id, replyId(good, AGENT_STOP, id, pattern(320, 2), 30s));
        std::this_thread::sleep_for(100ms);
    }
    // Answered before any stalled client's 2 s ran out.
    EXPECT_EQ(0u, log_.count(warn, {kTimedOut + "client fd=", path_})) << "replies waited for the stalled clients";
    ASSERT_TRUE(dribbler.write(slow.data() + 300, slow.size() - 300));
    EXPECT_TRUE(got(dribbler.readMessage(), 55, pattern(320, 5)));

    // The stalled ones are dropped with their warn lines; the others stay served.
    for (auto& c : in_header) EXPECT_TRUE(c.waitClosed(20s));
    EXPECT_TRUE(in_payload.waitClosed(20s));
    for (size_t i = 0; i < kStalled; ++i) {
        EXPECT_EQ(1u, log_.count(warn, {"Incomplete message header from " + client(server_.connectedFd(i))}));
        EXPECT_EQ(1u, log_.count(warn, {kTimedOut + client(server_.connectedFd(i))}));
    }
    EXPECT_EQ(1u, log_.count(warn, {"Incomplete payload from " + client(server_.connectedFd(kStalled))}));
    EXPECT_EQ(kStalled + 1, log_.count(warn, {kTimedOut + "client fd=", path_}));
    EXPECT_EQ(4u, server_.messages().size());
    EXPECT_EQ(77u, replyId(good, AGENT_START, 77));
    EXPECT_FALSE(dribbler.waitClosed(10ms));
}

TEST_F(UdsRobustnessTest, SlowHandlersCountAgainstNoOtherClient) {
    // Speaks for 3 s in the handler of every TTS_REQUEST, as the speech server does.
    static std::atomic<bool> speaking{false};
    server_.on_message = [&](const velantis::MessageHeader& h) {
        if (h.type != TTS_REQUEST) return;
        speaking = true;
        std::this_thread::sleep_for(3s);
        speaking = false;
    };
    ASSERT_TRUE(server_.start());

    // B and C are read before A in every pass: each header is in when A's handler starts.
    FramedClient b(path_), c(path_), a(path_);
    ASSERT_TRUE(server_.waitConnected(3));
    auto request = [](uint64_t id) { return frame(makeMessageHeader(AGENT_STOP, 320, id), pattern(320, 4)); };
    const auto rb = request(21), rc = request(22);
    ASSERT_TRUE(b.write(rb.data(), 24));
    ASSERT_TRUE(c.write(rc.data(), 24));
    ASSERT_TRUE(a.send(makeMessageHeader(TTS_REQUEST, 0, 20)));
    ASSERT_TRUE(test_support::waitUntil([&] { return speaking.load(); }, 10s));

    // B's payload arrives while A's handler runs; C's only 1 s after it, after 4 s in all
    // but within 2 s of the server's own time.
    const auto sent_b = std::chrono::steady_clock::now();
    ASSERT_TRUE(b.write(rb.data() + 24, rb.size() - 24));
    EXPECT_EQ(20u, readId(a));
    ASSERT_EQ(21u, readId(b)) << "dropped for the time another client's handler took";
    const auto b_waited = std::chrono::steady_clock::now() - sent_b;
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(c.write(rc.data() + 24, rc.size() - 24));
    EXPECT_TRUE(got(c.readMessage(), 22, pattern(320, 4))) << "dropped for the time another client's handler took";
    EXPECT_EQ(0u, log_.count(warn, {kTimedOut + "client fd=", path_}));
    std::cout << "straddling client's reply came " << b_waited / 1ms << " ms after its payload\n";

    // The server's own time still bounds a client that stalls.
    FramedClient d(path_);
    ASSERT_TRUE(d.write(rb.data(), 30));
    EXPECT_TRUE(d.waitClosed(10s));
    EXPECT_EQ(1u, log_.count(warn, {kTimedOut + "client fd=", path_}));
    server_.stop();
}

TEST_F(UdsRobustnessTest, QueuedRepliesGoOutBeforeTheClose) {
    ASSERT_TRUE(server_.start());

    // Echoes of 8 x 40 KiB: more than a socket holds, so the last ones wait in the server's
    // queue (which takes them all).
    constexpr size_t kSize = 40 * 1024;
    constexpr uint64_t kCount = 8;
    auto ask = [&](FramedClient& client, uint64_t first) {
        for (uint64_t id = first; id < first + kCount; ++id)
            ASSERT_TRUE(client.send(TTS_REQUEST, id, pattern(kSize, static_cast<uint8_t>(id))));
    };
    auto takeAll = [&](FramedClient& client, uint64_t first) {
        for (uint64_t id = first; id < first + kCount; ++id)
            ASSERT_TRUE(got(client.readMessage(), id, pattern(kSize, static_cast<uint8_t>(id)))) << "reply " << id;
        EXPECT_TRUE(client.waitClosed());
    };

    // A client that has finished sending still gets its replies, then is let go.
    FramedClient done(path_);
    ask(done, 10);
    ASSERT_EQ(0, ::shutdown(done.fd(), SHUT_WR));
    ASSERT_TRUE(server_.waitMessages(kCount));
    // No event to wait on: meanwhile the server meets the end of the client's stream.
    std::this_thread::sleep_for(200ms);
    takeAll(done, 10);
    EXPECT_TRUE(server_.waitEvent("disconnected " + std::to_string(server_.connectedFd(0))));

    // stop() lets a client that reads take what is queued for it.
    FramedClient late(path_);
    ask(late, 20);
    ASSERT_TRUE(server_.waitMessages(2 * kCount));
    std::thread stopper([&] { server_.stop(); });
    EXPECT_TRUE(log_.waitFor(spdlog::level::info, {"Server loop ended for path: " + path_}));
    takeAll(late, 20);
    stopper.join();
}

TEST_F(UdsRobustnessTest, ClientsThatNeverReadAreDropped) {
    ASSERT_TRUE(server_.start());

    constexpr size_t kSleepers = 10;
    FramedClient reader(path_);
    std::vector<FramedClient> sleepers;
    for (size_t i = 0; i < kSleepers; ++i) sleepers.emplace_back(path_);
    ASSERT_TRUE(server_.waitConnected(kSleepers + 1));

    // Far more wake-up events than a client that never reads can hold: no broadcast
    // waits on those, and the reader finds each event waiting as soon as it was sent.
    constexpr uint64_t kEvents = 1000;
    auto event = pattern(17, 17);
    for (uint64_t i = 0; i < kEvents; ++i) {
        server_.broadcastMessage(makeMessageHeader(WAKEWORD_EVENT, 17, i), event.data());
        ASSERT_TRUE(got(reader.readMessage(), i, event)) << i;
    }
    // Dropped for a full queue, not after waiting on them.
    for (size_t i = 0; i < kSleepers; ++i) {
        const int fd = server_.connectedFd(i + 1);
        EXPECT_EQ(1u, log_.count(warn, {"Dropping " + client(fd) + ": its queue is full"}));
        EXPECT_TRUE(server_.waitEvent("disconnected " + std::to_string(fd)));
        EXPECT_TRUE(sleepers[i].waitClosed());
    }

    // A client that reads late gets what waited for it intact and in order, and the
    // reply to its request after it.
    FramedClient late(path_), idle(path_);
    ASSERT_TRUE(server_.waitConnected(kSleepers + 3));
    const int idle_fd = server_.connectedFd(kSleepers + 2);
    for (uint8_t i = 0; i < 8; ++i) {
        auto payload = pattern(32 * 1024, i);
        server_.broadcastMessage(makeMessageHeader(WAKEWORD_EVENT, static_cast<uint32_t>(payload.size()), i),
                                 payload.data());
        EXPECT_TRUE(reader.readMessage());
    }
    ASSERT_TRUE(late.send(makeMessageHeader(AGENT_START, 0, 99)));
    ASSERT_TRUE(server_.waitMessages(1));
    for (uint8_t i = 0; i < 8; ++i) EXPECT_TRUE(got(late.readMessage(), i, pattern(32 * 1024, i))) << int{i};
    EXPECT_EQ(99u, readId(late));

    // One that takes nothing of its queue for 2 s is dropped.
    EXPECT_TRUE(log_.waitFor(warn, {"Dropping " + client(idle_fd) + ": it took no message within 2000 ms"}));
    EXPECT_TRUE(idle.waitClosed());
    EXPECT_FALSE(late.waitClosed(10ms));

    // A client that sends requests but never reads the replies.
    FramedClient greedy(path_);
    ASSERT_TRUE(server_.waitConnected(kSleepers + 4));
    const int greedy_fd = server_.connectedFd(kSleepers + 3);
    std::thread flood([&] {
        auto req = frame(makeMessageHeader(TTS_REQUEST, 64 * 1024, 1), pattern(64 * 1024, 9));
        int sent = 0;
        while (sent < 20 && greedy.write(req)) ++sent;  // until the server has dropped it
    });
    EXPECT_TRUE(log_.waitFor(warn, {"Dropping " + client(greedy_fd)}, 20s));
    EXPECT_TRUE(server_.waitEvent("disconnected " + std::to_string(greedy_fd)));
    flood.join();

    EXPECT_EQ(5u, replyId(reader, AGENT_STOP, 5));
}

TEST_F(UdsRobustnessTest, DescriptorsAtFdSetSizeAreRefused) {
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    const rlim_t wanted = FD_SETSIZE + 64;
    if (old.rlim_max != RLIM_INFINITY && old.rlim_max < wanted)
        GTEST_SKIP() << "descriptor limit " << old.rlim_max << " too low to reach FD_SETSIZE";
    rlimit raised = old;
    if (raised.rlim_cur == RLIM_INFINITY || raised.rlim_cur < wanted) raised.rlim_cur = wanted;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &raised));

    ASSERT_TRUE(server_.start());
    FramedClient early(path_);
    ASSERT_TRUE(server_.waitConnected(1));

    std::vector<int> fillers;
    do {
        fillers.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        ASSERT_GE(fillers.back(), 0);
    } while (fillers.back() < FD_SETSIZE - 4);
    // Clients until the server's end of one lands at or above FD_SETSIZE.
    std::vector<FramedClient> late;
    bool refused = false;
    for (int i = 0; i < 6 && !refused; ++i) {
        late.emplace_back(path_);
        ASSERT_TRUE(late.back().connected());
        // A refused client may find its connection closed before it sends.
        const auto id = replyId(late.back(), AGENT_START, 100 + i, {}, 5s);
        refused = !id;
        EXPECT_EQ(refused ? 0 : 100 + i, id.value_or(0));
    }
    EXPECT_TRUE(refused);
    EXPECT_TRUE(log_.waitFor(warn, {"Refusing client fd=", "on path " + path_,
                                    "descriptors must stay below FD_SETSIZE (1024)"}));
    // A socket handed in as a client is refused the same way, and closed.
    int pair[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    const int high = FD_SETSIZE + 8;
    ASSERT_EQ(high, ::dup3(pair[0], high, O_CLOEXEC));
    ::close(pair[0]);
    EXPECT_FALSE(server_.addClient(high));
    EXPECT_EQ(-1, ::fcntl(high, F_GETFD));
    EXPECT_EQ(1u, log_.count(warn, {"Refusing " + client(high)}));
    ::close(pair[1]);

    // The others are still served, and new clients are once descriptors free up.
    EXPECT_EQ(1u, replyId(early, AGENT_STOP, 1));
    late.clear();
    for (int fd : fillers) ::close(fd);
    FramedClient after(path_);
    EXPECT_EQ(2u, replyId(after, AGENT_STOP, 2));
    server_.stop();
    setrlimit(RLIMIT_NOFILE, &old);
}

bool wellFormed(const velantis::MessageHeader& h, const std::vector<uint8_t>& p) {
    return (h.type == WAKEWORD_STATE && p == pattern(66, 66)) || (h.type == WAKEWORD_EVENT && p == pattern(17, 17));
}

TEST_F(UdsRobustnessTest, BroadcastsRaceWithClientsComingAndGoing) {
    const size_t fds_before = test_support::descriptorCount(::getpid());
    {
        // Greets every client, as the wake-word server does.
        const auto greeting = pattern(66, 66);
        RecordingServer server(path_);
        server.echo = false;
        server.on_connect = [&](int fd) {
            server.sendMessage(fd, makeMessageHeader(WAKEWORD_STATE, 66, 0), greeting.data());
        };
        ASSERT_TRUE(server.start());
        FramedClient steady(path_);
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
                    server.broadcastMessage(makeMessageHeader(WAKEWORD_EVENT, 17, 0), event.data());
                    std::this_thread::sleep_for(200us);
                }
            });
        }
        for (int c = 0; c < 4; ++c) {
            threads.emplace_back([&, c] {
                int round = 0;
                while (!done) {
                    FramedClient cl(path_);
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
            const bool on = e.rfind("connected ", 0) == 0;
            if (on || e.rfind("disconnected ", 0) == 0) balance[std::stoi(e.substr(e.find(' ')))] += on ? 1 : -1;
            connections += on;
        }
        EXPECT_GT(connections, 20u);
        for (const auto& [fd, n] : balance) EXPECT_TRUE(n == 0 || n == 1) << "fd " << fd << ": " << n;
    }
    EXPECT_EQ(fds_before, test_support::descriptorCount(::getpid())) << "a descriptor leaked or was closed twice";
    EXPECT_EQ(0u, log_.count(err, {"Select error on path " + path_}));
}

}  // namespace
