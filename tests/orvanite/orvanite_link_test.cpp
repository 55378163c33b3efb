// The link's read loop on a real pseudo-terminal, with the test playing the board.
#include "orvanite/orvanite_link.h"
#include "orvanite/orvanite.h"

#include "tests/orvanite/test_support.h"
#include "tests/rig/board/board_rig.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using board_rig::Bytes;
using orvanite_test::Clock;
using orvanite_test::LogFile;
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
    std::condition_variable cv;
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
                        l->cv.notify_all();
                    },
                    l->board.slave_path());
            }).detach();
            return l;
        }();
        return *link;
    }

    bool wait_wakeups(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return wakeups.size() >= n; });
    }
    size_t wakeup_count() {
        std::lock_guard<std::mutex> lock(mutex);
        return wakeups.size();
    }
};

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_.mark();
        ASSERT_TRUE(link_.board.wait_raw()) << "the link never set the port up";
        // Nothing left over from an earlier case.
        link_.board.read_for(20ms);
    }
    Link& link_ = Link::get();
    board_rig::PtyBoard& board_ = link_.board;
    LogFile log_;
};

TEST_F(LinkTest, PortIsSetUpRawAt115200) {
    termios t{};
    ASSERT_EQ(tcgetattr(board_.master_fd(), &t), 0);
    EXPECT_EQ(t.c_iflag, 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    LogFile whole;
    EXPECT_TRUE(whole.has('I', "open port " + board_.slave_path() + " success"));
    EXPECT_TRUE(whole.has('I', "set_opt() success"));
}

TEST_F(LinkTest, HandshakesAreAnsweredWithTheirId) {
    ASSERT_TRUE(board_.write(board_rig::handshake(7)));
    auto ack = board_.read_frame(5s);
    ASSERT_TRUE(ack);
    EXPECT_EQ(board_rig::hex(*ack), "A5 01 FF 04 00 07 00 A5 00 00 00 AB ");
    EXPECT_TRUE(log_.wait_for('I', "Received handshake msg: " + board_rig::hex(board_rig::handshake(7)), 5s));

    // A frame that arrives in pieces with pauses is assembled all the same.
    ASSERT_TRUE(board_.write_slowly(board_rig::handshake(11), 15ms));
    ack = board_.read_frame(5s);
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, board_rig::ack(11));
}

TEST_F(LinkTest, NoiseAndDamagedFramesDoNotStopTheLink) {
    Bytes stream = {0x00, 0xFF, 0x13, 0xA5};
    Bytes doubled = board_rig::handshake(1);  // A5 A5 01 ...: lost
    stream.insert(stream.end(), doubled.begin(), doubled.end());
    Bytes damaged = board_rig::handshake(2);
    damaged.erase(damaged.begin() + 8);  // takes the next frame's A5; the rest of it is dropped
    stream.insert(stream.end(), damaged.begin(), damaged.end());
    Bytes swallowed = board_rig::handshake(3);
    stream.insert(stream.end(), swallowed.begin(), swallowed.end());
    Bytes oversized = {0xA5, 0x01, 0x04, 0xFF, 0x7F, 0x00, 0x00};
    stream.insert(stream.end(), oversized.begin(), oversized.end());
    Bytes good = board_rig::handshake(4);
    stream.insert(stream.end(), good.begin(), good.end());
    ASSERT_TRUE(board_.write(stream));

    auto ack = board_.read_frame(10s);
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, board_rig::ack(4));
    EXPECT_TRUE(board_.read_for(100ms).empty()) << "only the last handshake is answered";
    EXPECT_EQ(log_.count('E', "checksum failed for handshake!"), 1u);
    EXPECT_TRUE(log_.has_prefix('E', "frame length 32767 exceeds the receive buffer"));
}

TEST_F(LinkTest, WakeUpReachesTheCallbackOnTheReadingThreadAndPausesTheLoop) {
    size_t before = link_.wakeup_count();
    // The wake-up and, right behind it, two handshakes.
    Bytes stream = board_rig::wakeup(90.5, 2, 1);
    for (uint16_t id : {21, 22}) {
        Bytes hs = board_rig::handshake(id);
        stream.insert(stream.end(), hs.begin(), hs.end());
    }
    ASSERT_TRUE(board_.write(stream));
    ASSERT_TRUE(link_.wait_wakeups(before + 1, 10s));
    WakeUp w;
    {
        std::lock_guard<std::mutex> lock(link_.mutex);
        w = link_.wakeups[before];
    }
    EXPECT_EQ(w.angle, 90.5);
    EXPECT_EQ(w.beam, 2);
    EXPECT_EQ(w.tid, link_.reader_tid.load());
    EXPECT_TRUE(log_.wait_for('I', "Detected wakeup - angle: 90.5, beam: 2", 5s));

    // Nothing is read for a second after the wake-up; then the handshakes, in order.
    auto first = board_.read_frame(10s);
    auto waited = Clock::now() - w.at;
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, board_rig::ack(21));
    EXPECT_GE(waited, 950ms);
    auto second = board_.read_frame(5s);
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, board_rig::ack(22));
    EXPECT_EQ(link_.wakeup_count(), before + 1);
}

TEST_F(LinkTest, SendOrvaniteStrWritesNumberedControllerFrames) {
    // This is the first sending of the process: ids start at 1.
    ASSERT_TRUE(orvanite::send_orvanite_str("hello board"));
    ASSERT_TRUE(orvanite::send_orvanite_str(""));
    auto f1 = board_.read_frame(5s);
    auto f2 = board_.read_frame(5s);
    ASSERT_TRUE(f1 && f2);
    EXPECT_EQ(*f1, board_rig::frame(board_rig::kControllerMsg, "hello board", 1));
    EXPECT_EQ(*f2, board_rig::frame(board_rig::kControllerMsg, "", 2));
    EXPECT_TRUE(log_.has('I', "send [hello board] to orvanite"));
    EXPECT_TRUE(log_.has('I', "build_frame: " + board_rig::hex(*f1)));
}

TEST_F(LinkTest, ControllerFramesAndAcksDoNotInterleave) {
    std::atomic<bool> done{false};
    const std::string text(700, 'q');
    std::thread sender([&] {
        for (int i = 0; i < 40; ++i) orvanite::send_orvanite_str(text);
        done = true;
    });
    Bytes handshakes;
    for (uint16_t id = 100; id < 140; ++id) {
        Bytes hs = board_rig::handshake(id);
        handshakes.insert(handshakes.end(), hs.begin(), hs.end());
    }
    ASSERT_TRUE(board_.write(handshakes));
    int controllers = 0, acks = 0;
    auto deadline = Clock::now() + 20s;
    while ((controllers < 40 || acks < 40) && Clock::now() < deadline) {
        auto f = board_.read_frame(1s);
        if (!f) continue;
        uint8_t sum = 0;
        for (uint8_t b : *f) sum = static_cast<uint8_t>(sum + b);
        ASSERT_EQ(sum, 0) << "torn frame " << board_rig::hex(*f).substr(0, 60);
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
    EXPECT_TRUE(log_.has_prefix('E', "init_orvanite: the link already runs on " + board_.slave_path()));
    EXPECT_FALSE(log_.has_prefix('E', "Can't Open Serial Port"));
    ASSERT_TRUE(board_.write(board_rig::handshake(50)));
    auto ack = board_.read_frame(5s);
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, board_rig::ack(50));
}

}  // namespace
