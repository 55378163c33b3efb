// The example host program in the simulated rig: the real agent process beside it, a
// board for each, the paced sound device and the synthetic speech model. The host's
// clients start and stop the real agent's recording and print the board's wake-up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include "tests/agent_service/service_test_util.h"
#include "tests/rig/alsa/alsa_test_device.h"
#include "tests/rig/board/board_rig.h"
#include "tests/rig/kokoro/kokoro_rig.h"

using namespace service_test;
using namespace std::chrono_literals;

namespace {

// One run of a program, its output in files.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd,
          const std::string& outDir)
        : out_(outDir + "/host-stdout.txt"), err_(outDir + "/host-stderr.txt") {
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e) envStore.push_back(*e);
        envStore.insert(envStore.end(), env.begin(), env.end());
        std::vector<char*> envp, args;
        for (auto& kv : envStore) envp.push_back(&kv[0]);
        envp.push_back(nullptr);
        std::vector<std::string> argStore = argv;
        for (auto& a : argStore) args.push_back(&a[0]);
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            int o = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(127);
            ::dup2(o, 1);
            ::dup2(e, 2);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // Exit status, or -1 when it did not end in time (it is then killed).
    int wait(std::chrono::milliseconds timeout) {
        int status = 0;
        bool ended = waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
        if (!ended) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out() const { return readFile(out_); }
    std::string err() const { return readFile(err_); }

private:
    std::string out_, err_;
    pid_t pid_ = -1;
};

}  // namespace

TEST(ServiceHost, HostDrivesTheServiceAndTheRealAgent) {
    if (!board_rig::can_fake_ttyacm0()) GTEST_SKIP() << "needs root for private /dev/ttyACM0 and /tmp";
    const std::string bin = agent_rig::binaryDir() + "/bin";
    TempDir dir("service-host");
    const std::string work = dir.path() + "/work";
    std::filesystem::create_directories(work);
    ASSERT_TRUE(kokoro_rig::installModel(work));
    const std::string speaker = dir.path() + "/speaker_%r.raw";

    board_rig::PtyBoard agentBoard, hostBoard;
    agent_rig::AgentProcess agent;
    agent_rig::AgentOptions options;
    options.program = bin + "/tavrin_agent";
    options.ttySlave = agentBoard.slave_path();
    options.env = alsa_rig::environment("", dir.path() + "/agent_speaker_%r.raw");
    ASSERT_TRUE(agent.start(options));
    ASSERT_TRUE(agent.waitForLog("Server started successfully on path: /tmp/velantis_agent.sock", 20s)) << agent.log();

    // The host shares the agent's /tmp, so its clients find the agent's socket.
    const char* script = "mount --bind \"$1\" /tmp && shift && exec \"$@\"";
    auto argv = board_rig::ttyacm0_command(hostBoard.slave_path(), {"/bin/sh", "-c", script, "sh", agent.tmpDir(),
                                                                    bin + "/velantis_host", "三", "4"});
    auto env = alsa_rig::environment("", speaker);
    // The board's link thread is still blocked in its read when the host exits; LeakSanitizer
    // (sanitizer builds) misreads such a thread's dynamic TLS and crashes, so it skips TLS.
    env.push_back("LSAN_OPTIONS=use_tls=0:use_ld_allocations=0");
    Child host(argv, env, work, dir.path());

    ASSERT_TRUE(hostBoard.wait_raw(20s)) << host.out() << host.err();
    // Wake-ups reach only connected listeners: wait for the host's.
    ASSERT_TRUE(waitUntil([&] { return host.out().find("(initial_state)") != std::string::npos; }, 20s))
        << host.out() << host.err();
    ASSERT_TRUE(hostBoard.write(board_rig::handshake(1)));
    ASSERT_TRUE(hostBoard.write(board_rig::wakeup(90.5, 2)));
    ASSERT_TRUE(waitUntil([&] { return host.out().find("   Angle: 90.5 degrees") != std::string::npos; }, 20s))
        << host.out() << host.err();
    EXPECT_EQ(host.wait(60s), 0) << host.out() << host.err();

    std::string out = host.out();
    EXPECT_NE(out.find("📡 State Changed: 0 -> 0 (initial_state)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("🎙️  Wake Word Detected!\n   Angle: 90.5 degrees\n   Beam: 2\n   Confidence: 0.9\n"
                       "   State: STARTED\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Sending TTS request: \"三\", sid: 87, speed: 1.2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Successfully received ACK from server.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("host: agent recording started\n"), std::string::npos) << out;
    EXPECT_NE(out.find("host: agent recording stopped\n"), std::string::npos) << out;
    EXPECT_NE(out.find("host: service stopped\n"), std::string::npos) << out;

    // The text was spoken on the 24000 Hz device.
    EXPECT_FALSE(alsa_rig::readPcm(dir.path() + "/speaker_24000.raw").empty());

    std::string agentLog = agent.log();
    EXPECT_EQ(
        countOf(agentLog,
                "Received AGENT_START from: velantis_agent_service, description: Request to start audio recording"),
        1u);
    EXPECT_EQ(countOf(agentLog,
                      "Received AGENT_STOP from: velantis_agent_service, description: Request to stop audio recording"),
              1u);
    EXPECT_EQ(countOf(agentLog, "Audio recording stopped."), 1u);

    std::string hostLog = readFile(work + "/logs/basic-log.txt");
    EXPECT_EQ(countOf(hostLog, "Successfully received ACK for AGENT_START."), 1u);
    EXPECT_EQ(countOf(hostLog, "Successfully received ACK for AGENT_STOP."), 1u);
    EXPECT_EQ(countOf(hostLog, "Wake word detected: angle=90.50, beam=2"), 1u);
    EXPECT_EQ(countOf(hostLog, "Velantis Agent Service stopped."), 1u);
}
