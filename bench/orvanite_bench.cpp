// Figures of the microphone-array link: parser throughput, wake-up latency through a
// pseudo-terminal, and the reading thread's CPU use while the board is silent.
//   build/bin/orvanite_bench   (writes logs/ into a temporary directory)
#include "orvanite/orvanite_link.h"
#include "orvanite/uart_connector.h"

#include "board_rig.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using Clock = std::chrono::steady_clock;

static double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

static double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int main() {
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
    board_rig::PtyBoard board;
    std::atomic<long> wakeups{0};
    std::atomic<Clock::rep> last_wakeup{0};
    std::thread([&] {
        orvanite::run_link(
            [&](double, int) {
                last_wakeup = Clock::now().time_since_epoch().count();
                ++wakeups;
            },
            board.slave_path());
    }).detach();
    if (!board.wait_raw()) {
        std::fprintf(stderr, "the link did not set the port up\n");
        return 1;
    }
    double cpu0 = cpu_seconds();
    auto idle0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double idle_cpu = (cpu_seconds() - cpu0) / std::chrono::duration<double>(Clock::now() - idle0).count();
    std::printf("idle link: %.2f %% of a core\n", idle_cpu * 100.0);

    board_rig::Bytes frame = board_rig::wakeup(90.5, 2);
    double worst = 0, total = 0;
    const int rounds = 3;
    for (int i = 0; i < rounds; ++i) {
        long before = wakeups;
        board.write(frame);
        auto written = Clock::now();
        while (wakeups == before) std::this_thread::sleep_for(std::chrono::microseconds(200));
        double latency = ms(Clock::time_point(Clock::duration(last_wakeup.load())) - written);
        total += latency;
        worst = std::max(worst, latency);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the pause after a wake-up
    }
    std::printf("wake-up frame of %zu bytes: callback %.1f ms (mean), %.1f ms (worst) after the write\n",
                frame.size(), total / rounds, worst);

    board_rig::Bytes burst;
    for (uint16_t id = 0; id < 500; ++id) {
        board_rig::Bytes hs = board_rig::handshake(id);
        burst.insert(burst.end(), hs.begin(), hs.end());
    }
    auto b0 = Clock::now();
    board.write(burst);
    size_t acks = 0;
    while (acks < 500) {
        auto f = board.read_frame(std::chrono::seconds(20));
        if (!f) break;
        ++acks;
    }
    double secs = std::chrono::duration<double>(Clock::now() - b0).count();
    std::printf("read loop: %zu bytes in %.2f s = %.0f bytes/s (%zu of 500 handshakes acknowledged)\n", burst.size(),
                secs, static_cast<double>(burst.size()) / secs, acks);
    std::fflush(stdout);
    _exit(0);
}
