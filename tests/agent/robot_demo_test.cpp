// Demo words: their actions and pauses, and the wag-tail emoji shown at once.
#include "platform/mc_client/mc_sim.h"
#include "tests/agent/robot_test_support.h"

#include <sys/syscall.h>

using namespace robot_test;
using namespace test_support;

TEST_F(RobotTest, DemoActionsRunInTurnAndWagTailShowsItsEmojiAtOnce) {
    // Demo actions run whatever the drive state: the robot here lies with its drive off.
    start();
    auto t = trace();
    const auto queued = std::chrono::steady_clock::now();
    rc_->handle_command_list({{"摇头", 0}, {"摆尾", 0}, {"招呼", 9}});
    const auto returned = std::chrono::steady_clock::now();
    EXPECT_EQ(mc_sim_last_emoji(), 6);

    // Shown on the caller's thread before handle_command_list returned, while all three
    // tasks still wait.
    auto emoji = t.calls("LightStripControl");
    ASSERT_EQ(emoji.size(), 1u);
    EXPECT_LE(emoji[0].time(), returned);
    EXPECT_EQ(emoji[0].str("strip"), "led");
    for (const auto& [k, v] : {std::pair{"mode", 2}, {"emoji", 6}, {"arg1", 0}, {"arg2", 0}})
        EXPECT_EQ(emoji[0].num(k), v) << k;
    EXPECT_EQ(emoji[0].tid, static_cast<long>(syscall(SYS_gettid)));
    expectLogged({{info, "Setting emoji state: 6", 1}});

    ASSERT_EQ(t.wait_for_count("DemoControl", 3, 30s), 3u);
    EXPECT_EQ(countLines(stop(), "processCommands"), 3u);  // stop() waits out the last action's pause

    auto demos = t.calls("DemoControl");
    ASSERT_EQ(demos.size(), 3u);
    for (int i = 0; i < 3; ++i)
        for (const auto& [k, v] : {std::pair{"mode", 2}, {"action", i + 2}, {"flag", 0}})
            EXPECT_EQ(demos[i].num(k), v) << k << " in " << demos[i].line;
    EXPECT_LT(emoji[0].mono_ns, demos[0].mono_ns);
    EXPECT_GE(demos[0].time() - queued, std::chrono::milliseconds(1000));
    // 4 s after each action, then 1 s before the next.
    EXPECT_GE(ms_between(demos[0], demos[1]), 5000);
    EXPECT_GE(ms_between(demos[1], demos[2]), 5000);
    EXPECT_EQ(t.count("LightStripControl"), 1u);
}
