// Lifecycle and framing of UnixDomainSocketServer, driven through real clients.
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "tests/common/uds_test_support.h"

using namespace uds_test;
using std::filesystem::exists;

namespace {

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

using UdsServerTest = UdsTest;

TEST_F(UdsServerTest, HeaderIsTheInMemoryRecordOnTheWire) {
    ASSERT_TRUE(server_.start());
    FramedClient c(path_);
    velantis::MessageHeader h{AGENT_START, 0, 0x0102030405060708ull, 41};
    ASSERT_TRUE(c.send(h));

    // Server side: the raw bytes arrive as the record; client side: the echo's bytes.
    const std::vector<uint8_t> wire = {0x29, 0x23, 0, 0, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 41, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(server_.waitMessages(1));
    EXPECT_EQ(wire, frame(server_.messages().at(0).first));
    EXPECT_EQ(wire, c.readBytes(24));

    auto ms = [] {
        using namespace std::chrono;
        return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    };
    const uint64_t before = ms(), ts = UnixDomainSocketServer::getCurrentTimestamp();
    EXPECT_LE(before, ts);
    EXPECT_LE(ts, ms());
}

TEST_F(UdsServerTest, LifecycleHooksAndLogLinesInOrder) {
    const std::string path = dir_.file("life.sock");  // beside the fixture's server
    {
        // A socket file left behind by an earlier process is replaced.
        int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        ASSERT_EQ(0, ::bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        ::close(stale);

        RecordingServer server(path);
        EXPECT_EQ(1u, log_.count(info, {"Initializing Unix Domain Socket Server for path: " + path}));
        ASSERT_TRUE(server.start());
        EXPECT_EQ(1u, log_.count(info, {"Socket server listening on " + path}));
        EXPECT_EQ(1u, log_.count(info, {"Server started successfully on path: " + path}));
        EXPECT_TRUE(log_.waitFor(info, {"Server loop started for path: " + path}));

        // A second start is refused and changes nothing.
        EXPECT_FALSE(server.start());
        EXPECT_EQ(1u, log_.count(warn, {"Server is already running for path: " + path}));

        int fd;
        {
            FramedClient c(path);
            ASSERT_TRUE(c.send(AGENT_STOP, 7, bytes("hello")));
            EXPECT_TRUE(got(c.readMessage(), 7, bytes("hello")));
            fd = server.connectedFd(0);
        }
        ASSERT_TRUE(server.waitEvent("disconnected " + std::to_string(fd)));
        EXPECT_EQ(1u, log_.count(info, {"New client connected: fd=" + std::to_string(fd) + " on path " + path}));
        EXPECT_EQ(1u, log_.count(info, {"Client disconnected: fd=" + std::to_string(fd) + " from path " + path}));

        server.stop();
        EXPECT_FALSE(exists(path));
        EXPECT_NE(0, FramedClient().connectTo(path)) << "connect after stop must fail";
        EXPECT_EQ(1u, log_.count(info, {"Server loop ended for path: " + path}));
        EXPECT_EQ(1u, log_.count(info, {"Server stopped for path: " + path}));
        std::vector<std::string> expected = {"init", "connected " + std::to_string(fd), "message 7",
                                             "disconnected " + std::to_string(fd), "cleanup"};
        EXPECT_EQ(expected, server.events());

        // A stopped server starts afresh; a second stop does nothing.
        ASSERT_TRUE(server.start());
        FramedClient again(path);
        EXPECT_EQ(8u, replyId(again, AGENT_START, 8));
        server.stop();
        server.stop();
        EXPECT_EQ(2u, log_.count(info, {"Server stopped for path: " + path}));
    }
    EXPECT_EQ(1u, log_.count(info, {"Unix Domain Socket Server for path: " + path + " destroyed"}));
}

TEST_F(UdsServerTest, FailedStartsLeaveNothingBehind) {
    server_.init_result = false;
    EXPECT_FALSE(server_.start());
    EXPECT_EQ(1u, log_.count(err, {"Custom initialization (onInit) failed for server on path: " + path_}));
    EXPECT_FALSE(exists(path_));
    server_.run();  // returns at once

    server_.init_result = true;
    ASSERT_TRUE(server_.start());
    FramedClient c(path_);
    ASSERT_TRUE(server_.waitConnected(1));
    server_.stop();
    EXPECT_EQ(std::vector<std::string>(
                  {"init", "init", "init", "connected " + std::to_string(server_.connectedFd(0)), "cleanup"}),
              server_.events());

    auto failsToBind = [&](const std::string& path, const std::string& why) {
        RecordingServer server(path);
        EXPECT_FALSE(server.start());
        EXPECT_EQ(1u, log_.count(err, {"Failed to bind socket for path " + path + why}));
        EXPECT_TRUE(server.events().empty()) << "onInit must not run";
    };
    failsToBind(dir_.file("missing/dir.sock"), ": No such file or directory");

    // Something at the path that cannot be removed (here a directory; in /tmp, another
    // user's file): the log names it and its owner before the bind fails.
    const std::string taken = dir_.file("taken.sock");
    ASSERT_EQ(0, ::mkdir(taken.c_str(), 0755));
    failsToBind(taken, ": Address already in use");
    EXPECT_EQ(1u, log_.count(err, {"Cannot remove the stale socket file " + taken + " (owner " +
                                   ::getpwuid(::geteuid())->pw_name + "): Is a directory"}));

    // Too long for sun_path: refused rather than bound under a truncated name.
    const std::string overlong = dir_.path() + "/" + std::string(120, 'x');
    failsToBind(overlong, "");
    EXPECT_FALSE(exists(overlong.substr(0, 107)));
}

TEST_F(UdsServerTest, IncompleteMessagesNeverReachTheHandler) {
    ASSERT_TRUE(server_.start());
    {
        FramedClient silent(path_);  // connects and leaves without a word
        ASSERT_TRUE(server_.waitConnected(1));
    }
    ASSERT_TRUE(server_.waitEvent("disconnected " + std::to_string(server_.connectedFd(0))));
    EXPECT_EQ(0u, log_.count(warn, {path_, "Incomplete"}));
    {
        FramedClient ten_bytes(path_);
        ASSERT_TRUE(server_.waitConnected(2));
        ASSERT_TRUE(ten_bytes.write(std::vector<uint8_t>{0x29, 0x23, 0, 0, 0, 0, 0, 0, 1, 2}));  // ten bytes
    }
    EXPECT_TRUE(log_.waitFor(warn, {"Incomplete message header from " + client(server_.connectedFd(1))}));
    ASSERT_TRUE(server_.waitEvent("disconnected " + std::to_string(server_.connectedFd(1))));
    {
        FramedClient short_payload(path_);
        ASSERT_TRUE(short_payload.send(makeMessageHeader(TTS_REQUEST, 100, 1), std::vector<uint8_t>(40, 'a')));
    }
    EXPECT_TRUE(log_.waitFor(warn, {"Incomplete payload from client fd=", " on path " + path_}));
    EXPECT_TRUE(server_.messages().empty());
}

TEST_F(UdsServerTest, ZeroLengthAndBackToBackMessages) {
    server_.echo = false;
    ASSERT_TRUE(server_.start());
    FramedClient c(path_);
    // Three messages in one write; the middle one has no payload.
    std::vector<uint8_t> all;
    for (const auto& m :
         {frame(makeMessageHeader(AGENT_START, 3, 1), bytes("abc")), frame(makeMessageHeader(AGENT_STOP, 0, 2)),
          frame(makeMessageHeader(TTS_REQUEST, 2, 3), bytes("de"))})
        all.insert(all.end(), m.begin(), m.end());
    ASSERT_TRUE(c.write(all));
    ASSERT_TRUE(server_.waitMessages(3));
    auto m = server_.messages();
    ASSERT_EQ(3u, m.size());
    EXPECT_TRUE(got(m[0], 1, bytes("abc")));
    EXPECT_TRUE(got(m[1], 2, {}));
    EXPECT_EQ(9002u, m[1].first.type);
    EXPECT_TRUE(got(m[2], 3, bytes("de")));
    // The connection is still in frame afterwards.
    ASSERT_TRUE(c.send(makeMessageHeader(AGENT_START, 1, 4), bytes("z")));
    ASSERT_TRUE(server_.waitMessages(4));
    EXPECT_EQ(bytes("z"), server_.messages()[3].second);
}

TEST_F(UdsServerTest, ReplyCarriesTheRequestIdAmidBroadcasts) {
    ASSERT_TRUE(server_.start());
    FramedClient listener(path_), requester(path_);
    ASSERT_TRUE(server_.waitConnected(2));
    std::atomic<bool> done{false};
    std::thread broadcaster([&] {
        auto h = makeMessageHeader(WAKEWORD_EVENT, 0, 0);
        while (!done) {
            server_.broadcastMessage(h, nullptr);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread drain([&] {
        while (!done) listener.readMessage(100ms);
    });
    ASSERT_TRUE(requester.send(makeMessageHeader(AGENT_START, 0, 41)));
    // Broadcast events until the reply.
    auto m = requester.readMessage();
    for (int i = 0; i < 100000 && m && m->first.type == WAKEWORD_EVENT; ++i) m = requester.readMessage();
    done = true;
    broadcaster.join();
    drain.join();
    EXPECT_TRUE(got(m, 41, {}) && m->first.type == AGENT_START);
}

TEST_F(UdsServerTest, BroadcastDropsAVanishedClientAndServesTheOthers) {
    ASSERT_TRUE(server_.start());
    FramedClient a(path_), gone(path_), b(path_);
    ASSERT_TRUE(server_.waitConnected(3));
    int gone_fd = server_.connectedFd(1);

    // The peer no longer reads: sends to it fail (no SIGPIPE), while the
    // server's read side sees nothing and keeps it listed.
    ASSERT_EQ(0, ::shutdown(gone.fd(), SHUT_RD));
    std::vector<uint8_t> payload = bytes("event-17-bytes!!!");
    auto h = makeMessageHeader(WAKEWORD_EVENT, static_cast<uint32_t>(payload.size()), 0);
    server_.broadcastMessage(h, payload.data());

    for (FramedClient* c : {&a, &b}) EXPECT_TRUE(got(c->readMessage(), 0, payload));
    EXPECT_EQ(1u, log_.count(err, {"Failed to send message header to client fd=" + std::to_string(gone_fd) + ": "}));
    EXPECT_EQ(1u, log_.count(info, {"Client disconnected: fd=" + std::to_string(gone_fd) + " from path " + path_}));
    EXPECT_TRUE(server_.waitEvent("disconnected " + std::to_string(gone_fd)));
    EXPECT_TRUE(gone.waitClosed());

    // The others stay served, by broadcasts and by replies.
    server_.broadcastMessage(h, payload.data());
    for (FramedClient* c : {&a, &b}) EXPECT_TRUE(got(c->readMessage(), 0, payload));
    EXPECT_EQ(5u, replyId(a, AGENT_STOP, 5));
    server_.stop();
    EXPECT_EQ(1u, log_.count(info, {"Client disconnected: fd=" + std::to_string(gone_fd) + " from path " + path_}));
}

TEST_F(UdsServerTest, DestroyingARunningServerClosesEverythingWithoutOnCleanup) {
    FramedClient c;
    std::atomic<int> cleanups{0};
    {
        RecordingServer server(path_);
        server.on_cleanup = [&] { ++cleanups; };
        server.stop_on_destroy = false;  // the base class's own teardown is under test
        ASSERT_TRUE(server.start());
        ASSERT_EQ(0, c.connectTo(path_));
        ASSERT_EQ(1u, replyId(c, AGENT_START, 1));
        // The handler's record is the server thread's last hook call.
        ASSERT_TRUE(server.waitMessages(1));
    }
    EXPECT_EQ(0, cleanups.load());
    EXPECT_FALSE(exists(path_));
    EXPECT_TRUE(c.waitClosed());
    EXPECT_EQ(1u, log_.count(info, {"Server stopped for path: " + path_}));
    EXPECT_EQ(1u, log_.count(info, {"Unix Domain Socket Server for path: " + path_ + " destroyed"}));
}

TEST_F(UdsServerTest, RunReturnsAfterStopFromAnotherThread) {
    auto server = std::make_unique<RecordingServer>(path_);
    // A slow onCleanup: run() would return in the middle of stop() if it went by the running
    // flag alone.
    server->on_cleanup = [] { std::this_thread::sleep_for(300ms); };
    std::atomic<bool> returned{false};
    std::thread runner([&] {
        server->run();
        returned = true;
        // The stop on the other thread has finished with the server: the owner may
        // destroy it at once.
        EXPECT_EQ(1u, log_.count(info, {"Server stopped for path: " + path_}));
        server.reset();
    });
    ASSERT_TRUE(log_.waitFor(info, {"Server started successfully on path: " + path_}));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(returned);
    RecordingServer* raw = server.get();
    raw->stop();
    runner.join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(exists(path_));
    EXPECT_EQ(1u, log_.count(info, {"Unix Domain Socket Server for path: " + path_ + " destroyed"}));
}

extern "C" void onTestSignal(int) {}

TEST_F(UdsServerTest, SignalsDuringSelectAndReadsAreHarmless) {
    struct sigaction sa {};
    sa.sa_handler = onTestSignal;  // no SA_RESTART: system calls see EINTR
    sigemptyset(&sa.sa_mask);
    struct sigaction old {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));

    ASSERT_TRUE(server_.start());
    ASSERT_TRUE(log_.waitFor(info, {"Server loop started for path: " + path_}));
    for (int i = 0; i < 5; ++i) {
        pthread_kill(server_.serverThread(), SIGUSR1);
        std::this_thread::sleep_for(20ms);
    }
    FramedClient c(path_);
    EXPECT_EQ(1u, replyId(c, AGENT_START, 1));

    // Header and half the payload, signals while the server waits for the rest.
    auto whole = frame(makeMessageHeader(TTS_REQUEST, 8, 2), bytes("12345678"));
    ASSERT_TRUE(c.write(whole.data(), 28));
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(20ms);
        pthread_kill(server_.serverThread(), SIGUSR1);
    }
    ASSERT_TRUE(c.write(whole.data() + 28, whole.size() - 28));
    EXPECT_TRUE(got(c.readMessage(), 2, bytes("12345678")));

    server_.stop();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(0u, log_.count(err, {"Select error on path " + path_}));
    EXPECT_EQ(0u, log_.count(warn, {path_, "Incomplete"}));
}

}  // namespace
