// Figures of the microphone-array link: parser throughput, wake-up latency through a
// pseudo-terminal against its bound, the read loop's pass length, the reading thread's CPU use
// while the board is silent, and how soon a board that went away and came back is heard.
//   build/bin/orvanite_bench   (writes logs/ into the current directory)
#include "orvanite/orvanite_link.h"
#include "orvanite/uart_connector.h"

#include "bench/bench_util.h"
#include "tests/rig/board/board_rig.h"
#include "tests/support/files.h"

#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using bench::Clock;
using bench::ms;
using bench::Summary;

constexpr int kRounds = 3;

// Wake-ups heard, and when the last one was.
static std::atomic<long> wakeups{0};
static std::atomic<Clock::rep> last_wakeup{0};
static Clock::time_point last_heard() { return Clock::time_point(Clock::duration(last_wakeup.load())); }
static void heard(double, int) {
    last_wakeup = Clock::now().time_since_epoch().count();
    ++wakeups;
}

// A symlink that stands for "/dev/ttyACM0": pointed at another slave in one step.
static bool point(const std::string& link, const std::string& slave) {
    std::string next = link + ".new";
    ::unlink(next.c_str());
    return ::symlink(slave.c_str(), next.c_str()) == 0 && ::rename(next.c_str(), link.c_str()) == 0;
}

constexpr int kReplugs = 5;

// The board hangs up and a new one appears behind the same path 1 to 2 s later (spread over
// the link's once-a-second tries); it writes a wake-up as soon as the link has set the port up.
static void replugs(std::unique_ptr<board_rig::PtyBoard>& board, const std::string& link) {
    std::vector<double> to_raw, to_heard;
    for (int i = 0; i < kReplugs; ++i) {
        // The path goes first, as it does for a USB board: a freed /dev/pts number may be
        // taken by another program's terminal at once.
        ::unlink(link.c_str());
        board->hang_up();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 + (2 * i + 1) * 500 / kReplugs));
        board = std::make_unique<board_rig::PtyBoard>();
        if (!point(link, board->slave_path())) break;
        auto back = Clock::now();
        if (!board->wait_raw(std::chrono::seconds(5))) break;
        to_raw.push_back(bench::secondsSince(back));
        long before = wakeups;
        board->write(board_rig::wakeup(90.5, 2));
        if (!test_support::waitUntil([&] { return wakeups != before; }, std::chrono::seconds(10),
                                     std::chrono::milliseconds(1)))
            break;
        to_heard.push_back(ms(last_heard() - back) / 1000.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the pause after a wake-up
    }
    ::unlink(link.c_str());  // before the last board goes
    const Summary raw(to_raw), heard(to_heard);
    std::printf(
        "replug (%zu of %d): from the board's return, port set up again after %.2f s mean (%.2f worst), "
        "wake-up heard after %.2f s mean (%.2f worst)\n",
        heard.n, kReplugs, raw.mean, raw.max, heard.mean, heard.max);
}

int main() {  // NOLINT(bugprone-exception-escape): a benchmark that throws has failed
    // 1. deal_with alone: handshakes (one log line and one ACK each) and silent bytes.
    {
        UartConnector conn(nullptr, "/dev/null");
        conn.serial_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        board_rig::Bytes hs = board_rig::handshake(1);
        const int frames = 20000;
        auto t0 = Clock::now();
        for (int i = 0; i < frames; ++i)
            for (uint8_t b : hs) conn.deal_with(b);
        auto t1 = Clock::now();
        const int noise = 10000000;
        for (int i = 0; i < noise; ++i) conn.deal_with(static_cast<uint8_t>(i % 0xA5));
        auto t2 = Clock::now();
        std::printf("parser: %.2f us per handshake (logged and acknowledged), %.1f ns per dropped byte\n",
                    ms(t1 - t0) * 1000.0 / frames, ms(t2 - t1) * 1e6 / noise);
    }

    // 2. and 3. The read loop on a pseudo-terminal.
    auto board = std::make_unique<board_rig::PtyBoard>();
    char dir[] = "/tmp/orvanite-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string link = std::string(dir) + "/ttyACM0";
    if (!point(link, board->slave_path())) return 1;
    std::thread([&] { orvanite::run_link(heard, link); }).detach();
    if (!board->wait_raw()) {
        std::fprintf(stderr, "the link did not set the port up\n");
        return 1;
    }
    const std::clock_t cpu0 = std::clock();
    auto idle0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double idle_cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC / bench::secondsSince(idle0);
    std::printf("idle link: %.2f %% of a core\n", idle_cpu * 100.0);

    // Wake-up frames of several sizes, each written at once: from the write to the callback,
    // against the bound of 1.02 ms a byte plus 2 ms. Meanwhile a second descriptor on the slave
    // watches its input queue shrink, byte by byte: the gaps are the loop's passes (to within
    // the watcher's ~20 us naps).
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    int watch = ::open(board->slave_path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    std::vector<double> passes, to_first, to_callback;
    std::printf("wake-up frames (each written at once; callback after the write, worst of %d):\n", kRounds);
    // The plain one, then padded to 256, 512 and 1024 bytes.
    for (size_t json : {size_t{0}, size_t{248}, size_t{504}, size_t{RX_BUFFER_SIZE - FRAME_OVERHEAD}}) {
        board_rig::Bytes frame = board_rig::device_msg(board_rig::wakeup_json(90.5, 2, json));
        std::vector<double> latencies;
        for (int i = 0; i < kRounds; ++i) {
            long before = wakeups;
            board->write(frame);
            auto written = Clock::now();
            int last = -1;
            Clock::time_point last_drop{}, first_taken{}, emptied{};
            while (wakeups == before) {
                int queued = 0;
                if (watch >= 0 && ioctl(watch, FIONREAD, &queued) == 0) {
                    auto now = Clock::now();
                    if (last >= 0 && queued == last - 1 && last_drop != Clock::time_point{})
                        passes.push_back(ms(now - last_drop) * 1000.0);
                    if (last >= 0 && queued < last && first_taken == Clock::time_point{}) first_taken = now;
                    if (queued == 0 && last > 0) emptied = now;
                    if (queued != last) last_drop = queued == last - 1 ? now : Clock::time_point{};
                    last = queued;
                }
                // Short naps rather than spinning, so the watcher takes no core from the loop.
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
            auto called = last_heard();
            if (first_taken != Clock::time_point{}) to_first.push_back(ms(first_taken - written));
            if (emptied != Clock::time_point{}) to_callback.push_back(ms(called - emptied));
            latencies.push_back(ms(called - written));
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the pause after a wake-up
        }
        const double bound = static_cast<double>(frame.size()) * 1.02 + 2.0;
        const Summary l(latencies);
        std::printf("  N = %4zu bytes: %7.1f ms mean, %7.1f ms worst; bound N x 1.02 + 2 = %7.1f ms (%s)\n",
                    frame.size(), l.mean, l.max, bound, l.max <= bound ? "met" : "MISSED");
    }
    if (watch >= 0) ::close(watch);
    std::printf("  first byte taken %.2f ms after the write, callback %.2f ms after the last byte taken (means)\n",
                Summary(to_first).mean, Summary(to_callback).mean);
    std::printf("  pass (one byte read to the next; rule: at most one byte per pass of 1000 us): %s\n",
                Summary(passes).text(1, "us").c_str());

    board_rig::Bytes burst;
    for (uint16_t id = 0; id < 500; ++id) burst = board_rig::join({burst, board_rig::handshake(id)});
    auto b0 = Clock::now();
    board->write(burst);
    size_t acks = 0;
    while (acks < 500 && board->read_frame(std::chrono::seconds(20))) ++acks;
    const double secs = bench::secondsSince(b0);
    std::printf("read loop: %zu bytes in %.2f s = %.0f bytes/s (%zu of 500 handshakes acknowledged)\n", burst.size(),
                secs, static_cast<double>(burst.size()) / secs, acks);
    std::fflush(stdout);

    // 4. The board goes away and comes back.
    replugs(board, link);
    ::rmdir(dir);
    std::fflush(stdout);
    _exit(0);
}
