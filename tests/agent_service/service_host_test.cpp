// The example host program in the simulated rig: the real agent process beside it, a
// board for each, the paced sound device and the synthetic speech model. The host's
// clients start and stop the real agent's recording and print the board's wake-up.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "tests/rig/agent/agent_runner.h"
#include "tests/rig/alsa/alsa_test_device.h"
#include "tests/rig/board/board_rig.h"
#include "tests/rig/kokoro/kokoro_rig.h"
#include "tests/support/files.h"
#include "tests/support/private_tmp.h"
#include "tests/support/process.h"

using namespace test_support;
using namespace std::chrono_literals;

TEST(ServiceHost, HostDrivesTheServiceAndTheRealAgent) {
    if (!test_support::canFakeTtyacm0()) GTEST_SKIP() << "needs root for private /dev/ttyACM0 and /tmp";
    const std::string bin = test_support::binaryDir() + "/bin";
    test_support::TempDir dir("service-host", agent_rig::kRunDir);
    const std::string work = dir.path() + "/work";
    std::filesystem::create_directories(work);
    ASSERT_TRUE(kokoro_rig::installModel(work));

    board_rig::PtyBoard agentBoard, hostBoard;
    agent_rig::AgentProcess agent;
    agent_rig::AgentOptions options;
    options.program = bin + "/tavrin_agent";
    options.ttySlave = agentBoard.slave_path();
    options.env = alsa_rig::environment("", dir.path() + "/agent_speaker_%r.raw");
    ASSERT_TRUE(agent.start(options));
    ASSERT_TRUE(agent.waitForLog("Server started successfully on path: /tmp/velantis_agent.sock", 20s)) << agent.log();

    // The host shares the agent's /tmp, so its clients find the agent's socket.
    test_support::PrivateTmp ns;
    ns.tmpDir = agent.tmpDir();
    ns.ttyacm0 = hostBoard.slave_path();
    test_support::ProcessOptions o;
    o.argv = test_support::privateTmpCommand(ns, {bin + "/velantis_host", "三", "4"});
    o.env = alsa_rig::environment("", dir.path() + "/speaker_%r.raw");
    // The board's link thread is still blocked in its read when the host exits; LeakSanitizer
    // (sanitizer builds) misreads such a thread's dynamic TLS and crashes, so it skips TLS.
    o.env.push_back("LSAN_OPTIONS=use_tls=0:use_ld_allocations=0");
    o.cwd = work;
    o.stdoutPath = dir.path() + "/host-stdout.txt";
    o.stderrPath = dir.path() + "/host-stderr.txt";
    test_support::Process host(o);

    ASSERT_TRUE(hostBoard.wait_raw(20s)) << host.out() << host.err();
    // Wake-ups reach only connected listeners: wait for the host's.
    ASSERT_TRUE(host.waitOutput("(initial_state)", 20s)) << host.out() << host.err();
    ASSERT_TRUE(hostBoard.write(board_rig::handshake(1)));
    ASSERT_TRUE(hostBoard.write(board_rig::wakeup(90.5, 2)));
    ASSERT_TRUE(host.waitOutput("   Angle: 90.5 degrees", 20s)) << host.out() << host.err();
    EXPECT_EQ(host.wait(60s), 0) << host.out() << host.err();

    const std::string out = host.out();
    EXPECT_NE(out.find("🎙️  Wake Word Detected!\n   Angle: 90.5 degrees\n   Beam: 2\n   Confidence: 0.9\n"
                       "   State: STARTED\n"),
              std::string::npos)
        << out;
    for (const char* part :
         {"📡 State Changed: 0 -> 0 (initial_state)\n", "Sending TTS request: \"三\", sid: 87, speed: 1.2\n",
          "Successfully received ACK from server.\n", "host: agent recording started\n",
          "host: agent recording stopped\n", "host: service stopped\n"})
        EXPECT_NE(out.find(part), std::string::npos) << part << " not in:\n" << out;

    // The text was spoken on the 24000 Hz device.
    EXPECT_FALSE(alsa_rig::readPcm(dir.path() + "/speaker_24000.raw").empty());

    const std::string agentLog = agent.log();
    const std::string from = " from: velantis_agent_service, description: Request to ";
    for (const std::string& line :
         {"Received AGENT_START" + from + "start audio recording",
          "Received AGENT_STOP" + from + "stop audio recording", std::string("Audio recording stopped.")})
        EXPECT_EQ(countOf(agentLog, line), 1u) << line;
    const std::string hostLog = readFile(work + "/logs/basic-log.txt");
    for (const char* line : {"Successfully received ACK for AGENT_START.", "Successfully received ACK for AGENT_STOP.",
                             "Wake word detected: angle=90.50, beam=2", "Velantis Agent Service stopped."})
        EXPECT_EQ(countOf(hostLog, line), 1u) << line;
}
