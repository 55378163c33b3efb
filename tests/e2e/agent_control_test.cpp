// The agent process's control socket, driven over the real socket of a running agent.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "tests/rig/agent/conversation_rig.h"
#include "tests/support/figures.h"

using namespace std::chrono_literals;

namespace {

const std::string kStartText = "Request to start audio recording";
const std::string kStopText = "Request to stop audio recording";

class AgentControl : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::canFakeTtyacm0())
            GTEST_SKIP() << "needs root for a private mount namespace (own /dev/ttyACM0 and /tmp)";
    }

    agent_rig::AgentOptions options(std::vector<std::string> env) {
        agent_rig::AgentOptions opt;
        opt.program = test_support::binaryDir() + "/bin/tavrin_agent";
        opt.ttySlave = board_.slave_path();
        opt.env = std::move(env);
        return opt;
    }

    // Starts the agent with the given ALSA environment and connects to its socket.
    void startAgent(std::vector<std::string> env) {
        ASSERT_TRUE(agent_.start(options(std::move(env))));
        ASSERT_TRUE(client_.connect(agent_.socketPath(), 20s)) << agent_.errors();
    }

    // Options for an agent that shares the "/tmp" of `other`.
    agent_rig::AgentOptions besides(const agent_rig::AgentProcess& other) {
        agent_rig::AgentOptions opt = options(alsa_rig::environment("", ""));
        opt.prepareTmp = [shared = other.tmpDir()](const std::string& tmp) {
            std::filesystem::remove(tmp);
            std::filesystem::create_directory_symlink(shared, tmp);
        };
        return opt;
    }

    std::string start() { return agent_rig::commandPayload("velantis_agent_service", kStartText); }
    std::string stop() { return agent_rig::commandPayload("velantis_agent_service", kStopText); }

    // Sends one request and checks the bare reply of the same type carrying its id.
    void expectReply(uint32_t type, uint64_t id, const std::string& payload) {
        auto reply = client_.request(type, id, payload, 15s);
        ASSERT_TRUE(reply.has_value()) << "no reply to type " << type << "\n" << agent_.log();
        EXPECT_EQ(reply->type, type);
        EXPECT_EQ(reply->id, id);
        EXPECT_EQ(reply->length, 0u);
        EXPECT_GT(reply->timestamp, 1600000000000u);
    }

    void expectNoReply(uint32_t type, uint64_t id, const std::string& payload) {
        ASSERT_TRUE(client_.send(type, id, payload));
        EXPECT_FALSE(client_.readHeader(1500ms).has_value()) << "unexpected reply to type " << type;
    }

    test_support::TempDir dir_{"agent-control", agent_rig::kRunDir};
    board_rig::PtyBoard board_;
    agent_rig::AgentProcess agent_;
    agent_rig::ControlClient client_;
};

TEST_F(AgentControl, StartStopRestartAndMalformedRequests) {
    // Under the tightest umask the socket stays connectable by the group and the lock file
    // readable by all, so that an agent of another user can take the lock later.
    const mode_t umask = ::umask(077);
    startAgent(alsa_rig::environment("", ""));
    ::umask(umask);
    struct stat st {};
    ASSERT_EQ(0, ::stat(agent_.socketPath().c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 07777);
    ASSERT_EQ(0, ::stat((agent_.tmpDir() + "/velantis_agent.lock").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);

    // Nothing runs yet.
    expectReply(AGENT_STOP, 1, stop());
    EXPECT_TRUE(agent_.waitForLog("Audio recording is not running.", 10s));

    expectReply(AGENT_START, 41, start());
    EXPECT_TRUE(agent_.waitForLog("Waiting for hotword", 15s)) << agent_.log();
    std::string log = agent_.log();
    EXPECT_NE(log.find("Received AGENT_START from: velantis_agent_service, description: " + kStartText),
              std::string::npos);
    EXPECT_NE(log.find("Starting audio recording..."), std::string::npos);
    EXPECT_NE(log.find("Open default soundcard"), std::string::npos);
    EXPECT_NE(log.find("Record process..."), std::string::npos);

    // A second start while recording: answered with its own id, no second thread.
    expectReply(AGENT_START, 0xFFFFFFFFFFFFFFFFull, start());
    EXPECT_TRUE(agent_.waitForLog("Audio recording is already in progress.", 10s));
    EXPECT_EQ(test_support::countOf(agent_.log(), "Starting audio recording..."), 1u);

    // Malformed payloads get a warning naming the client's descriptor and no reply;
    // a malformed stop stops nothing.
    expectNoReply(AGENT_START, 7, start().substr(0, 319));
    expectNoReply(AGENT_STOP, 8, stop() + "x");
    log = agent_.log();
    EXPECT_NE(log.find("Received malformed AGENT_START message from fd="), std::string::npos);
    EXPECT_NE(log.find("Received malformed AGENT_STOP message from fd="), std::string::npos);
    EXPECT_EQ(log.find("Stopping audio recording..."), std::string::npos);

    // Other types are ignored without a log line.
    size_t lines = test_support::countOf(agent_.log(), "\n");
    expectNoReply(1001, 9, std::string(16, 'a'));
    expectNoReply(2001, 10, std::string(12, 'b'));
    expectNoReply(9003, 11, "");
    EXPECT_EQ(test_support::countOf(agent_.log(), "\n"), lines);

    // A sender name that fills its field: the log shows those 64 bytes and nothing after.
    std::string full = agent_rig::commandPayload(std::string(64, 'F'), "hidden");
    expectReply(AGENT_START, 12, full);
    EXPECT_TRUE(agent_.waitForLog("Received AGENT_START from: " + std::string(64, 'F') + ", description: hidden", 10s));

    // Stop: answered after the recording thread has ended, in this order.
    expectReply(AGENT_STOP, 13, stop());
    log = agent_.log();
    size_t stopping = log.find("Stopping audio recording...");
    size_t finished = log.find("Audio recording finished.");
    size_t stopped = log.find("Audio recording stopped.");
    ASSERT_NE(stopping, std::string::npos);
    ASSERT_NE(finished, std::string::npos);
    ASSERT_NE(stopped, std::string::npos);
    EXPECT_LT(stopping, finished);
    EXPECT_LT(finished, stopped);

    // Start again: the capture device is reopened, the link thread is not started twice,
    // and the earlier stop does not end the new recording.
    expectReply(AGENT_START, 14, start());
    EXPECT_TRUE(agent_.waitForLog("Waiting for hotword", 15s, 2)) << agent_.log();
    EXPECT_TRUE(agent_.waitForLog("Close default soundcard", 5s));
    std::this_thread::sleep_for(300ms);
    log = agent_.log();
    EXPECT_EQ(test_support::countOf(log, "Audio recording finished."), 1u);
    EXPECT_EQ(test_support::countOf(log, "New Thread: init_orvanite"), 1u);
    expectReply(AGENT_STOP, 15, stop());
    EXPECT_EQ(test_support::countOf(agent_.log(), "Audio recording finished."), 2u);
    EXPECT_TRUE(agent_.running());

    // A second agent sees the first and ends without touching its socket.
    agent_rig::AgentProcess second;
    ASSERT_TRUE(second.start(besides(agent_)));
    ASSERT_TRUE(test_support::waitUntil([&] { return !second.running(); }, 20s)) << second.log();
    EXPECT_EQ(second.exitCode(), 255);
    log = second.log();
    size_t running = log.find("Another agent is already running");
    size_t failed = log.find("Failed to start the agent server.");
    ASSERT_NE(running, std::string::npos) << log;
    ASSERT_NE(failed, std::string::npos) << log;
    EXPECT_LT(running, failed);
    EXPECT_EQ(log.find("Server started successfully"), std::string::npos) << log;

    // The first is still reached at its socket, by a new connection too.
    expectReply(AGENT_STOP, 16, stop());
    ASSERT_TRUE(client_.connect(agent_.socketPath(), 5s));
    expectReply(AGENT_START, 17, start());
    expectReply(AGENT_STOP, 18, stop());
    EXPECT_EQ(test_support::countOf(agent_.log(), "Audio recording stopped."), 3u);

    // Killed, the first leaves its socket file; the next agent replaces it and serves. The
    // lock file left behind belongs to another user now: it blocks nobody.
    agent_.kill();
    ASSERT_TRUE(std::filesystem::exists(agent_.socketPath()));
    ASSERT_EQ(0, ::chown((agent_.tmpDir() + "/velantis_agent.lock").c_str(), 65534, 65534));
    agent_rig::AgentProcess replacement;
    ASSERT_TRUE(replacement.start(besides(agent_)));
    ASSERT_TRUE(client_.connect(agent_.socketPath(), 20s)) << replacement.log();
    expectReply(AGENT_START, 19, start());
    expectReply(AGENT_STOP, 20, stop());
    EXPECT_TRUE(replacement.running());
    EXPECT_EQ(test_support::countOf(replacement.log(), "Audio recording stopped."), 1u);
}

TEST_F(AgentControl, StopRightAfterStartEndsTheNewThread) {
    startAgent(alsa_rig::environment("", ""));
    // The stop may reach the recorder before, during or after its set-up: each time the
    // recording thread must end and the stop be answered.
    for (uint64_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(client_.send(AGENT_START, 100 + i, start()));
        ASSERT_TRUE(client_.send(AGENT_STOP, 200 + i, stop()));
        auto a = client_.readHeader(15s);
        auto b = client_.readHeader(15s);
        ASSERT_TRUE(a && b) << agent_.log();
        EXPECT_EQ(a->id, 100 + i);
        EXPECT_EQ(b->id, 200 + i);
    }
    EXPECT_EQ(test_support::countOf(agent_.log(), "Audio recording finished."), 5u);
    EXPECT_EQ(test_support::countOf(agent_.log(), "Audio recording stopped."), 5u);
}

TEST_F(AgentControl, CaptureDeviceThatCannotBeOpened) {
    // An ALSA configuration without a "default" device.
    std::string conf = dir_.path() + "/no-default.conf";
    std::ofstream(conf) << "pcm.nothing { type null }\n";
    startAgent({"ALSA_CONFIG_PATH=" + conf});

    expectReply(AGENT_START, 21, start());
    EXPECT_TRUE(agent_.waitForLog("Audio recording finished.", 15s)) << agent_.log();
    std::string log = agent_.log();
    EXPECT_NE(log.find("cannot open audio device default ("), std::string::npos);
    EXPECT_NE(log.find("Soundcard have not been initialized"), std::string::npos);
    EXPECT_EQ(log.find("New Thread: init_orvanite"), std::string::npos);

    expectReply(AGENT_STOP, 22, stop());
    EXPECT_TRUE(agent_.waitForLog("Audio recording is not running.", 10s));

    expectReply(AGENT_START, 23, start());
    EXPECT_TRUE(agent_.waitForLog("Audio recording finished.", 15s, 2)) << agent_.log();
    EXPECT_EQ(test_support::countOf(agent_.log(), "Starting audio recording..."), 2u);
}

TEST_F(AgentControl, FailedSetUpNeitherEncodesNorSpins) {
    // A device that opens but takes only two channels: the set-up stops at the channel count.
    std::string conf = dir_.path() + "/two-channels.conf";
    std::ofstream(conf) << "pcm.!default {\n  type multi\n  slaves.a { pcm { type null } channels 2 }\n"
                           "  bindings.0 { slave a channel 0 }\n  bindings.1 { slave a channel 1 }\n}\n";
    startAgent({"ALSA_CONFIG_PATH=" + conf});

    expectReply(AGENT_START, 31, start());
    EXPECT_TRUE(agent_.waitForLog("Audio recording finished.", 15s)) << agent_.log();
    std::string log = agent_.log();
    EXPECT_NE(log.find("cannot set channel count ("), std::string::npos) << log;
    EXPECT_EQ(test_support::countOf(log, "Soundcard have not been initialized"), 1u);
    EXPECT_EQ(log.find("Waiting for hotword"), std::string::npos);
    EXPECT_EQ(log.find("Error reading audio data"), std::string::npos);
    expectReply(AGENT_STOP, 32, stop());
    EXPECT_TRUE(agent_.waitForLog("Audio recording is not running.", 10s));
}

TEST_F(AgentControl, ServerThatCannotStartEndsTheProcess) {
    // Something that is not a socket sits at the socket path and cannot be removed.
    agent_rig::AgentOptions opt = options(alsa_rig::environment("", ""));
    opt.prepareTmp = [](const std::string& tmp) {
        std::filesystem::create_directory(tmp + "/velantis_agent.sock");
        std::ofstream(tmp + "/velantis_agent.sock/keep") << "x";
    };
    ASSERT_TRUE(agent_.start(opt));
    ASSERT_TRUE(test_support::waitUntil([&] { return !agent_.running(); }, 20s)) << agent_.log();
    EXPECT_EQ(agent_.exitCode(), 255);
    std::string log = agent_.log();
    EXPECT_NE(log.find("Failed to bind socket for path /tmp/velantis_agent.sock"), std::string::npos) << log;
    EXPECT_NE(log.find("Failed to start the agent server."), std::string::npos) << log;
}

bool setSoftFileLimit(pid_t pid, rlim_t soft) {
    rlimit old{};
    if (::prlimit(pid, RLIMIT_NOFILE, nullptr, &old) != 0) return false;
    rlimit now{soft, old.rlim_max};
    return ::prlimit(pid, RLIMIT_NOFILE, &now, nullptr) == 0;
}

// Hellos the cloud has received on the given connection.
size_t hellosOn(const agent_rig::ConversationRig& rig, int connection) {
    size_t n = 0;
    for (const auto& f : rig.frames(connection, cloud_rig::FrameKind::Text))
        n += f.data.find("\"type\":\"hello\"") != std::string::npos;
    return n;
}

TEST(AgentWakeUps, DescriptorExhaustionNeitherThrowsNorLeavesAConversationBehind) {
    if (!test_support::canFakeTtyacm0())
        GTEST_SKIP() << "needs root for private mount and network namespaces (own /dev/ttyACM0, /tmp, loopback)";
    agent_rig::ConversationRig rig;
    std::string error;
    ASSERT_TRUE(rig.setUp(&error)) << error;
    ASSERT_EQ(rig.startRecording(), "");
    auto& agent = rig.agent();
    auto& cloud = rig.cloud();
    ASSERT_TRUE(agent.waitForLog("set_opt() success", 20s)) << agent.log();

    // A small soft limit, and idle local clients until the control server takes no more.
    ASSERT_TRUE(setSoftFileLimit(agent.pid(), 64));
    std::vector<agent_rig::ControlClient> idle;
    auto refused = [&] {
        const std::string log = agent.log();
        return log.find("Refusing client fd=") != std::string::npos ||
               log.find("Failed to accept client") != std::string::npos;
    };
    for (size_t i = 0; i < 80 && !refused(); ++i) {
        const size_t accepted = test_support::countOf(agent.log(), "New client connected");
        idle.emplace_back();
        ASSERT_EQ(0, idle.back().connectTo(agent.socketPath()));
        ASSERT_TRUE(test_support::waitUntil(
            [&] { return test_support::countOf(agent.log(), "New client connected") > accepted || refused(); }, 10s));
    }
    EXPECT_EQ(agent.log().find("Failed to accept client"), std::string::npos)
        << "the clients took the descriptors a wake-up needs";
    EXPECT_TRUE(agent.waitForLog("are kept in reserve", 1s)) << agent.log();

    // A wake-up still has what a conversation needs; the next one ends it. What the
    // conversation opens is sampled for the record.
    const int before = test_support::descriptorCount(agent.pid());
    std::atomic<bool> sampling{true};
    std::atomic<int> peak{before};
    std::thread sampler([&] {
        while (sampling) {
            const int n = test_support::descriptorCount(agent.pid());
            if (n > peak) peak = n;
            std::this_thread::sleep_for(2ms);
        }
    });
    rig.wakeUp();
    const bool opened = cloud.waitUntil([&] { return hellosOn(rig, 1) == 1; }, 20s);
    if (opened) agent.waitForOutput("Received binary message of size", 20s);
    rig.wakeUp();
    const bool ended = agent.waitForLog("recording task is already running, stop it", 20s) &&
                       cloud.waitUntil([&] { return !cloud.frames(cloud_rig::FrameKind::Close).empty(); }, 20s);
    sampling = false;
    sampler.join();
    ASSERT_TRUE(opened && ended) << agent.log();
    std::cout << "A conversation took up to " << peak - before << " descriptors beyond the " << before
              << " open before it\n";

    // Every descriptor taken (the limit lowered below the standard streams), and a client
    // waiting in the backlog: a wake-up cannot set its connection up. Not in the sanitizer build
    // (GCC names only AddressSanitizer in a macro): UndefinedBehaviorSanitizer's vptr check probes
    // memory through a pipe, and without a free descriptor it reports every virtual call on a new
    // thread as invalid.
    const auto exhausted = std::chrono::steady_clock::now();
#if !defined(__SANITIZE_ADDRESS__)
    ASSERT_TRUE(setSoftFileLimit(agent.pid(), 3));
    agent_rig::ControlClient waiting;
    ASSERT_EQ(0, waiting.connectTo(agent.socketPath()));
    ASSERT_TRUE(agent.waitForLog("Failed to accept client on path /tmp/velantis_agent.sock: Too many open files", 10s))
        << agent.log();
    const size_t logged = agent.log().size();
    rig.wakeUp();
    ASSERT_TRUE(agent.waitForLog("recording task not running, start it", 20s, 2)) << agent.log();
    ASSERT_TRUE(agent.waitForLog("Error: Unable to set up a connection to wss://", 20s)) << agent.log();
    const std::string during = agent.log().substr(logged);
    std::cout << "A wake-up at descriptor exhaustion logs:\n" << during;
    EXPECT_EQ(during.find("deal with array_mic msg failed"), std::string::npos) << during;
    EXPECT_NE(during.find("Too many open files"), std::string::npos) << during;
    EXPECT_EQ(cloud.connectionCount(), 1);
    const size_t restored = logged + during.size();
#else
    const size_t restored = agent.log().size();
#endif

    // Descriptors back: the next wake-up opens a conversation, not a goodbye.
    ASSERT_TRUE(setSoftFileLimit(agent.pid(), 1024));
    rig.wakeUp();
    ASSERT_TRUE(cloud.waitUntil([&] { return hellosOn(rig, 2) == 1; }, 20s)) << agent.log();
    const std::string after = agent.log().substr(restored);
    std::cout << "The next wake-up logs:\n" << after.substr(0, 2000);
    EXPECT_EQ(test_support::countOf(agent.log(), "recording task is already running, stop it"), 1u);

    // While the backlog waited, its failures were not logged 10 times a second.
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - exhausted).count();
    EXPECT_LE(test_support::countOf(agent.log(), "Failed to accept client"), static_cast<size_t>(1 + seconds / 10));
    EXPECT_TRUE(agent.running());
}

}  // namespace
