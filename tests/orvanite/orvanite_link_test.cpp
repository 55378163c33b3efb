// The link's read loop on a real pseudo-terminal, with the test playing the board.
#include "orvanite/orvanite_link.h"
#include "orvanite/orvanite.h"

#include "tests/orvanite/test_support.h"
#include "tests/rig/board/board_rig.h"
#include "tests/support/process_log.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <termios.h>

#include <atomic>
#include <mutex>
#include <numeric>
#include <thread>

using board_rig::Bytes;
using orvanite_test::has;
using orvanite_test::Level;
using test_support::countLog;
using test_support::processLog;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

struct WakeUp {
    double angle;
    int beam;
    long tid;
    Clock::time_point at;
};

// One link per process: it is started once and shared by every case.
struct Link {
    board_rig::PtyBoard board;
    std::mutex mutex;
    std::vector<WakeUp> wakeups;
    std::atomic<long> reader_tid{0};

    static Link& get() {
        static Link* link = [] {
            auto* l = new Link;
            std::thread([l] {
                l->reader_tid = static_cast<long>(syscall(SYS_gettid));
                orvanite::run_link(
                    [l](double angle, int beam) {
                        std::lock_guard<std::mutex> lock(l->mutex);
                        l->wakeups.push_back({angle, beam, static_cast<long>(syscall(SYS_gettid)), Clock::now()});
                    },
                    l->board.slave_path());
            }).detach();
            return l;
        }();
        return *link;
    }

    std::vector<WakeUp> heard() {
        std::lock_guard<std::mutex> lock(mutex);
        return wakeups;
    }
};

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link_.board.wait_raw()) << "the link never set the port up";
        link_.board.read_for(20ms);  // nothing left over from an earlier case
    }
    std::vector<test_support::LogEntry> log() { return processLog().since(mark_); }
    // Taken before the link starts to log.
    size_t mark_ = processLog().size();
    Link& link_ = Link::get();
    board_rig::PtyBoard& board_ = link_.board;
};

TEST_F(LinkTest, PortIsSetUpRawAt115200) {
    termios t{};
    ASSERT_EQ(tcgetattr(board_.master_fd(), &t), 0);
    EXPECT_EQ(t.c_iflag | t.c_oflag | t.c_lflag, 0u) << "no input, output or local processing";
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_TRUE(has(processLog().entries(), Level::info, "open port " + board_.slave_path() + " success"));
    EXPECT_TRUE(has(processLog().entries(), Level::info, "set_opt() success"));
}

TEST_F(LinkTest, HandshakesAreAnsweredWithTheirId) {
    ASSERT_TRUE(board_.write(board_rig::handshake(7)));
    EXPECT_EQ(board_.read_frame(5s), board_rig::from_hex("A5 01 FF 04 00 07 00 A5 00 00 00 AB"));
    EXPECT_TRUE(processLog().waitForLine(mark_, Level::info,
                                         "Received handshake msg: " + board_rig::hex(board_rig::handshake(7)), 5s));

    // A frame that arrives in pieces with pauses is assembled all the same.
    ASSERT_TRUE(board_.write_slowly(board_rig::handshake(11), 15ms));
    EXPECT_EQ(board_.read_frame(5s), board_rig::ack(11));
}

TEST_F(LinkTest, NoiseAndDamagedFramesDoNotStopTheLink) {
    Bytes damaged = board_rig::handshake(2);
    damaged.erase(damaged.begin() + 8);  // takes the next frame's A5; the rest of it is dropped
    // 00 FF 13, then A5 A5 01 ... (lost), the damaged one, the one it swallows, an oversized
    // header and a good handshake.
    ASSERT_TRUE(board_.write(board_rig::join({{0x00, 0xFF, 0x13, 0xA5},
                                              board_rig::handshake(1),
                                              damaged,
                                              board_rig::handshake(3),
                                              {0xA5, 0x01, 0x04, 0xFF, 0x7F, 0x00, 0x00},
                                              board_rig::handshake(4)})));

    EXPECT_EQ(board_.read_frame(10s), board_rig::ack(4));
    EXPECT_TRUE(board_.read_for(100ms).empty()) << "only the last handshake is answered";
    EXPECT_EQ(countLog(log(), Level::err, "checksum failed for handshake!"), 1u);
    EXPECT_TRUE(has(log(), Level::err, "frame length 32767 exceeds the receive buffer", true));
}

TEST_F(LinkTest, WakeUpReachesTheCallbackOnTheReadingThreadAndPausesTheLoop) {
    const size_t before = link_.heard().size();
    // The wake-up and, right behind it, two handshakes.
    ASSERT_TRUE(board_.write(
        board_rig::join({board_rig::wakeup(90.5, 2, 1), board_rig::handshake(21), board_rig::handshake(22)})));
    ASSERT_TRUE(test_support::waitUntil([&] { return link_.heard().size() > before; }, 10s, 1ms));
    const WakeUp w = link_.heard()[before];
    EXPECT_EQ(w.angle, 90.5);
    EXPECT_EQ(w.beam, 2);
    EXPECT_EQ(w.tid, link_.reader_tid.load());
    EXPECT_TRUE(processLog().waitForLine(mark_, Level::info, "Detected wakeup - angle: 90.5, beam: 2", 5s));

    // Nothing is read for a second after the wake-up; then the handshakes, in order.
    auto first = board_.read_frame(10s);
    EXPECT_GE(Clock::now() - w.at, 950ms);
    EXPECT_EQ(first, board_rig::ack(21));
    EXPECT_EQ(board_.read_frame(5s), board_rig::ack(22));
    EXPECT_EQ(link_.heard().size(), before + 1);
}

TEST_F(LinkTest, SendOrvaniteStrWritesNumberedControllerFrames) {
    // This is the first sending of the process: ids start at 1.
    ASSERT_TRUE(orvanite::send_orvanite_str("hello board"));
    ASSERT_TRUE(orvanite::send_orvanite_str(""));
    const Bytes first = board_rig::frame(board_rig::kControllerMsg, "hello board", 1);
    EXPECT_EQ(board_.read_frame(5s), first);
    EXPECT_EQ(board_.read_frame(5s), board_rig::frame(board_rig::kControllerMsg, "", 2));
    EXPECT_TRUE(has(log(), Level::info, "send [hello board] to orvanite"));
    EXPECT_TRUE(has(log(), Level::info, "build_frame: " + board_rig::hex(first)));
}

TEST_F(LinkTest, ControllerFramesAndAcksDoNotInterleave) {
    const std::string text(700, 'q');
    std::thread sender([&] {
        for (int i = 0; i < 40; ++i) orvanite::send_orvanite_str(text);
    });
    Bytes handshakes;
    for (uint16_t id = 100; id < 140; ++id) handshakes = board_rig::join({handshakes, board_rig::handshake(id)});
    ASSERT_TRUE(board_.write(handshakes));
    int controllers = 0, acks = 0;
    auto deadline = Clock::now() + 20s;
    while ((controllers < 40 || acks < 40) && Clock::now() < deadline) {
        auto f = board_.read_frame(1s);
        if (!f) continue;
        ASSERT_EQ(std::accumulate(f->begin(), f->end(), 0u) % 256, 0u)
            << "torn frame " << board_rig::hex(*f).substr(0, 60);
        if ((*f)[2] == board_rig::kControllerMsg) {
            EXPECT_EQ(f->size(), text.size() + 8);
            ++controllers;
        } else {
            ASSERT_EQ((*f)[2], board_rig::kAckMsg);
            EXPECT_EQ(*f, board_rig::ack(static_cast<uint16_t>(100 + acks)));
            ++acks;
        }
    }
    sender.join();
    EXPECT_EQ(controllers, 40);
    EXPECT_EQ(acks, 40);
}

TEST_F(LinkTest, ASecondLinkIsRefusedAndTheFirstGoesOn) {
    EXPECT_EQ(orvanite::run_link([](double, int) {}, "/nonexistent"), -1);
    EXPECT_TRUE(has(log(), Level::err, "init_orvanite: the link already runs on " + board_.slave_path(), true));
    EXPECT_FALSE(has(log(), Level::err, "Can't Open Serial Port", true));
    ASSERT_TRUE(board_.write(board_rig::handshake(50)));
    EXPECT_EQ(board_.read_frame(5s), board_rig::ack(50));
}

}  // namespace
