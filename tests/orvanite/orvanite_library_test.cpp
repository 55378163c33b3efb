// liborvanite as shipped: exported symbols, the fixed device path, whole runs in a process of
// its own with a private "/dev/ttyACM0".
#include "orvanite/orvanite.h"

#include "tests/orvanite/test_support.h"
#include "tests/rig/board/board_rig.h"
#include "tests/support/process_log.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

using orvanite_test::bin;
using orvanite_test::fileLog;
using orvanite_test::has;
using orvanite_test::Level;
using test_support::countLog;
using test_support::Process;
using namespace std::chrono_literals;

namespace {

const char* const kWaitingForPort = "waiting for port /dev/ttyACM0 to come back, trying to open it every second";

// name -> (type, binding) of every symbol the library defines for others.
std::map<std::string, std::pair<std::string, std::string>> exported_symbols(const std::string& lib) {
    std::map<std::string, std::pair<std::string, std::string>> out;
    FILE* p = popen(("readelf -W --dyn-syms '" + lib + "' 2>&1").c_str(), "r");
    if (!p) return out;
    char line[4096];
    while (fgets(line, sizeof line, p)) {
        std::istringstream in(line);
        std::string num, value, size, type, bind, vis, ndx, name;
        // Rows start with their number, the table's heading does not.
        if (!(in >> num >> value >> size >> type >> bind >> vis >> ndx >> name) || num[0] < '0' || num[0] > '9' ||
            ndx == "UND" || bind == "LOCAL" || vis == "HIDDEN")
            continue;
        out[name.substr(0, name.find('@'))] = {type, bind};
    }
    pclose(p);
    return out;
}

TEST(OrvaniteLibrary, ExportsOnlyItsInterfaceAndTheSharedLoggerObjects) {
    auto symbols = exported_symbols(test_support::binaryDir() + "/lib/liborvanite.so");
    ASSERT_FALSE(symbols.empty()) << "readelf gave nothing";
    const std::set<std::string> functions = {
        "_ZN8orvanite13init_orvaniteESt8functionIFvdiEE",
        "_ZN8orvanite17send_orvanite_strERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE",
        "_ZN9log_utils8instanceEv",
        "_ZN9log_utilsC1Ev",
        "_ZN9log_utilsC2Ev",
        "_ZN9log_utilsD1Ev",
        "_ZN9log_utilsD2Ev",
    };
    // One per process: bound to a single definition by the dynamic linker.
    const std::set<std::string> unique_objects = {"logF", "_ZGV4logF", "_ZZN9log_utils8instanceEvE4inst",
                                                  "_ZGVZN9log_utils8instanceEvE4inst"};
    for (const auto& [name, kind] : symbols) {
        if (functions.count(name)) {
            EXPECT_EQ(kind.first, "FUNC") << name;
        } else if (unique_objects.count(name)) {
            EXPECT_EQ(kind.first, "OBJECT") << name;
            EXPECT_EQ(kind.second, "UNIQUE") << name;
        } else {
            ADD_FAILURE() << "exported: " << name;
        }
    }
    for (const auto* names : {&functions, &unique_objects})
        for (const auto& name : *names) EXPECT_TRUE(symbols.count(name)) << "missing " << name;
}

TEST(OrvaniteLibrary, WithoutADeviceInitReturnsAndSendingFails) {
    struct stat st;
    if (lstat("/dev/ttyACM0", &st) == 0) GTEST_SKIP() << "this machine has a /dev/ttyACM0";
    const size_t mark = test_support::processLog().size();
    auto logged = [&](Level level, const std::string& text) {
        return has(test_support::processLog().since(mark), level, text);
    };
    EXPECT_FALSE(orvanite::send_orvanite_str("too early"));
    EXPECT_TRUE(logged(Level::err, "UartConnector is null, failed to send [too early] to orvanite."));

    auto start = std::chrono::steady_clock::now();
    orvanite::init_orvanite([](double, int) {});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(logged(Level::err, "Can't Open Serial Port, error_code = -1"));
    EXPECT_TRUE(logged(Level::err, "open port /dev/ttyACM0 failed"));

    EXPECT_FALSE(orvanite::send_orvanite_str("no port"));
    EXPECT_TRUE(logged(Level::info, "send [no port] to orvanite"));
    EXPECT_TRUE(logged(Level::err, "Serial port not opend"));
}

// The next frame from the program, past the "meanwhile" texts it sends.
std::optional<board_rig::Bytes> next_frame_but_meanwhile(board_rig::PtyBoard& board) {
    const board_rig::Bytes skipped = board_rig::frame(board_rig::kControllerMsg, "meanwhile", 0);
    for (;;) {
        auto f = board.read_frame(5s);
        // Equal but for the id (bytes 5 and 6) and the checksum.
        if (!f || f->size() != skipped.size() || !std::equal(f->begin(), f->begin() + 5, skipped.begin()) ||
            !std::equal(f->begin() + 7, f->end() - 1, skipped.begin() + 7))
            return f;
    }
}

class WholeRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::canFakeTtyacm0()) GTEST_SKIP() << "needs root for a private /dev/ttyACM0";
    }
    std::unique_ptr<Process> start_host() {
        auto child = std::make_unique<Process>(orvanite_test::in_dir(
            board_rig::ttyacm0_command(board_.slave_path(), {bin("orvanite_link_host")}), dir_.path()));
        EXPECT_TRUE(child->waitOutput("ready\n", 10s)) << child->err();
        EXPECT_TRUE(board_.wait_raw()) << child->err();
        return child;
    }
    // The board hangs up halfway through a frame and a new one comes to "/dev/ttyACM0" two
    // seconds later, while the host keeps sending: the link reopens the port, the new board's
    // handshake is answered, its wake-up reaches the same callback and sending goes to it, the
    // message ids going on.
    void replug(Process& host, board_rig::PtyBoard& back) {
        const board_rig::Bytes next = board_rig::handshake(21);
        ASSERT_TRUE(board_.write(board_rig::join({board_rig::handshake(20), {next.begin(), next.begin() + 5}})));
        ASSERT_TRUE(board_.read_frame(5s));
        ASSERT_TRUE(board_.wait_taken(5s));
        std::atomic<bool> sending{true};
        std::thread sender([&] {
            while (sending) {
                host.send("send meanwhile\n");
                std::this_thread::sleep_for(2ms);
            }
        });
        [&] {
            ASSERT_TRUE(board_rig::unplug_ttyacm0(host.pid()));
            board_.hang_up();
            ASSERT_TRUE(orvanite_test::waitForFileLine(log_, Level::warn, kWaitingForPort, 10s));
            std::this_thread::sleep_for(2200ms);  // two tries find no port
            ASSERT_TRUE(board_rig::plug_ttyacm0(host.pid(), back.slave_path()));
            ASSERT_TRUE(back.wait_raw(10s)) << host.err();
            ASSERT_TRUE(back.read_frame(5s)) << "nothing sent to the new board";
        }();
        sending = false;
        sender.join();
        if (HasFatalFailure()) return;

        ASSERT_TRUE(back.write(board_rig::handshake(22)));
        EXPECT_EQ(next_frame_but_meanwhile(back), board_rig::ack(22));
        ASSERT_TRUE(back.write(board_rig::wakeup(30, 1)));
        EXPECT_TRUE(host.waitOutput("wakeup 30 1\n", 10s)) << host.out();

        // The ids go on: one for every frame built, before, during and after.
        host.send("send after\n");
        auto f = next_frame_but_meanwhile(back);
        ASSERT_TRUE(f);
        ASSERT_TRUE(orvanite_test::waitForFileLine(log_, Level::info, "build_frame: " + board_rig::hex(*f), 5s));
        auto lines = fileLog(log_);
        auto built = std::count_if(lines.begin(), lines.end(), [](const test_support::LogEntry& l) {
            return l.text.rfind("build_frame: ", 0) == 0;
        });
        EXPECT_EQ(*f, board_rig::frame(board_rig::kControllerMsg, "after", static_cast<uint16_t>(built)));
    }
    static void expect_clean_exit(Process& host) {
        EXPECT_EQ(host.wait(15s), 0) << "\n" << host.err();
        EXPECT_EQ(host.err().find("Sanitizer"), std::string::npos) << host.err();
    }

    board_rig::PtyBoard board_;
    test_support::TempDir dir_{"orvanite-test"};
    const std::string log_ = dir_ / "logs/basic-log.txt";
};

TEST_F(WholeRun, HostTalksToTheBoardOnTtyACM0) {
    auto host = start_host();
    ASSERT_TRUE(board_.write(board_rig::handshake(7)));
    EXPECT_EQ(board_.read_frame(5s), board_rig::from_hex("A5 01 FF 04 00 07 00 A5 00 00 00 AB"));

    ASSERT_TRUE(board_.write(board_rig::wakeup(90.5, 2)));
    EXPECT_TRUE(host->waitOutput("wakeup 90.5 2\n", 10s)) << host->out();

    host->send("send first\nsend second\n");
    EXPECT_TRUE(host->waitOutput("sent 1\nsent 1\n", 10s)) << host->out();
    EXPECT_EQ(board_.read_frame(5s), board_rig::frame(board_rig::kControllerMsg, "first", 1));
    EXPECT_EQ(board_.read_frame(5s), board_rig::frame(board_rig::kControllerMsg, "second", 2));

    host->send("init2\n");
    EXPECT_TRUE(host->waitOutput("init2 returned\n", 10s)) << host->out();
    // The first link still answers.
    ASSERT_TRUE(board_.write(board_rig::handshake(8)));
    EXPECT_EQ(board_.read_frame(5s), board_rig::ack(8));

    board_rig::PtyBoard back;
    ASSERT_NO_FATAL_FAILURE(replug(*host, back));

    host->send("exit\n");
    expect_clean_exit(*host);
    EXPECT_EQ(host->out().find("init returned"), std::string::npos);

    auto log = fileLog(log_);
    // The board went away and came back once.
    for (const auto& [level, text, n] : {std::tuple{Level::err, "port /dev/ttyACM0 hung up: Input/output error", 1u},
                                         {Level::warn, kWaitingForPort, 1u},
                                         {Level::info, "open port /dev/ttyACM0 success", 2u},
                                         {Level::info, "set_opt() success", 2u},
                                         {Level::info, "------------  VERSION 0.1.1 ------------", 1u},
                                         {Level::err, "------------ file_logger start ------------", 1u}})
        EXPECT_EQ(countLog(log, level, text), n) << text;
    EXPECT_TRUE(has(log, Level::err, "standard input is not a terminal device"));
    EXPECT_TRUE(has(log, Level::info, "Detected wakeup - angle: 90.5, beam: 2"));
    EXPECT_TRUE(has(log, Level::err, "init_orvanite: the link already runs on /dev/ttyACM0", true));
}

TEST_F(WholeRun, ExitsCleanlyWhileTheBoardKeepsTalking) {
    auto chatter_logged = [&] {
        return test_support::countOf(test_support::readFile(log_), "Received Unknown msg_id");
    };
    for (int round = 0; round < 3; ++round) {
        const size_t before = chatter_logged();
        auto host = start_host();
        std::atomic<bool> stop{false};
        // Frames that make the link log and call back, without end.
        std::thread chatter([&] {
            uint16_t id = 0;
            while (!stop) {
                board_.write(board_rig::frame(0x33, "chatter", id++));
                board_.write(board_rig::handshake(id++));
                // Slower than the link reads (about 1000 bytes a second).
                board_.read_for(30ms);
            }
        });
        EXPECT_TRUE(test_support::waitUntil([&] { return chatter_logged() > before; }, 10s));
        host->send("log\nexit\n");
        expect_clean_exit(*host);
        stop = true;
        chatter.join();
        EXPECT_TRUE(host->out().find("logged\n") != std::string::npos);
        board_.reset_cooked();
        board_.read_for(10ms);
    }
}

TEST_F(WholeRun, BoardPlayerDrivesAProgramFromAScript) {
    // The scripts' board: the host keeps its link up while its own input (a sleep) lasts.
    Process player(orvanite_test::in_dir(
        {bin("board_play"), "--", "/bin/sh", "-c", "sleep 30 | " + bin("orvanite_link_host")}, dir_.path()));
    player.send("wait-raw 10\nhandshake 7\nwakeup 12.5 3\n");
    EXPECT_TRUE(player.waitOutput("board: port ready\n", 15s)) << player.out() << player.err();
    EXPECT_TRUE(player.waitOutput("board: received A5 01 FF 04 00 07 00 A5 00 00 00 AB \n", 10s)) << player.out();
    EXPECT_TRUE(player.waitOutput("wakeup 12.5 3\n", 10s)) << player.out();
    player.closeStdin();
    int status = player.wait(15s);
    // The player ended the program's group and passed on how it ended.
    EXPECT_EQ(status, 128 + SIGTERM);
}

}  // namespace
