#include "orvanite/orvanite.h"

#include "common/sleep.h"
#include "orvanite/orvanite_link.h"
#include "orvanite/uart_connector.h"

#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

namespace orvanite {
namespace {

const char* const DEVICE_PATH = "/dev/ttyACM0";

// Never destroyed: a reading thread may still run while the process exits.
struct LinkState {
    std::mutex connector_mutex;  // guards connector and running
    std::shared_ptr<UartConnector> connector;
    bool running = false;  // a call is inside run_link
    bool exit_hook = false;
    // Held by the reading thread while it handles a byte or reopens the port, so that exit
    // can wait for the work in hand (its log lines, its callback) before the logger goes away.
    std::mutex byte_mutex;
    std::atomic<bool> exiting{false};
};

// Set on the reading thread while it holds byte_mutex (exit may be called from a callback).
thread_local bool handling_byte = false;

LinkState& state() {
    static LinkState* s = new LinkState;
    return *s;
}

// Runs at exit before the libraries' static objects (the logger among them) are destroyed,
// being registered while the program runs: the reading thread stops for good, and the
// connector it holds stays alive with it.
void stop_at_exit() {
    LinkState& s = state();
    bool locked = false;
    if (!handling_byte) {
        // A callback that never returns does not hold up the exit for ever.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!(locked = s.byte_mutex.try_lock()) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    s.exiting = true;
    if (locked) s.byte_mutex.unlock();
    std::shared_ptr<UartConnector> last;
    std::lock_guard<std::mutex> lock(s.connector_mutex);
    last.swap(s.connector);
}

[[noreturn]] void park() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void setup_port(int fd) {
    termios old_tio{};
    if (tcgetattr(fd, &old_tio) != 0) {
        std::perror("SetupSerial 1");
        return;
    }
    termios tio{};
    tio.c_iflag = 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag = CLOCAL | CREAD | CS8;  // one stop bit, no parity, no flow control
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        std::perror("com set error");
        return;
    }
    logF->logger->info("set_opt() success");
}

using Clock = std::chrono::steady_clock;

constexpr std::chrono::nanoseconds kPass = std::chrono::milliseconds(1);

// The reading thread wakes close to its deadlines (the default slack is 50 us a sleep);
// the caller's own slack comes back when the loop ends.
class TimerSlack {
public:
    explicit TimerSlack(unsigned long ns) : saved_(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
        prctl(PR_SET_TIMERSLACK, ns, 0, 0, 0);
    }
    ~TimerSlack() {
        if (saved_ > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_), 0, 0, 0);
    }
    TimerSlack(const TimerSlack&) = delete;
    TimerSlack& operator=(const TimerSlack&) = delete;

private:
    int saved_;
};

// Runs f, the handling of a byte or of the port, under byte_mutex; once the process exits the
// thread parks instead.
template <typename F>
void holding_the_link(F&& f) {
    LinkState& s = state();
    std::unique_lock<std::mutex> lock(s.byte_mutex);
    if (s.exiting) {
        lock.unlock();
        park();
    }
    handling_byte = true;
    try {
        f();
    } catch (...) {
        handling_byte = false;
        throw;
    }
    handling_byte = false;
}

// Senders see the port change only under the write lock, so none writes to a descriptor that
// is closed or already reused.
void set_port(UartConnector& conn, int fd) {
    std::lock_guard<std::mutex> lock(conn.write_mutex);
    if (conn.serial_fd >= 0) ::close(conn.serial_fd);
    conn.serial_fd = fd;
}

// The system's text for a port that poll reports hung up: what a terminal request on it fails
// with (EIO once a terminal has hung up).
std::string hang_up_text(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return std::strerror(errno);
    return "hang-up reported by poll";
}

// The port hung up (a board that went away): it is closed, and the same path is opened and
// set up again about once a second until that succeeds. Failed tries log nothing.
void reopen_port(UartConnector& conn, const std::string& why) {
    holding_the_link([&] {
        logF->logger->error("port {} hung up: {}", conn.port, why);
        set_port(conn, -1);
        conn.reset_parser();
        logF->logger->warn("waiting for port {} to come back, trying to open it every second", conn.port);
    });
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (state().exiting) park();
        int fd = UartConnector::open_device(conn.port);
        if (fd < 0) continue;
        holding_the_link([&] {
            conn.finish_open(fd);
            setup_port(fd);
            set_port(conn, fd);
        });
        return;
    }
}

// At most one byte per pass of 1 ms. The passes lie on a fixed grid of deadlines, so the work
// of a pass does not lengthen it; a pass that a late wake-up or a callback overran is skipped,
// never caught up on. After an idle wait, or a port that was reopened, the grid starts again
// when a byte comes.
void read_loop(UartConnector& conn) {
    LinkState& s = state();
    TimerSlack slack(1000);
    Clock::time_point deadline = Clock::now() + kPass;
    for (;;) {
        velantis::sleepUntil(deadline);
        if (s.exiting) park();
        const Clock::time_point read_at = Clock::now();
        uint8_t byte = 0;
        ssize_t n = ::read(conn.serial_fd, &byte, 1);
        if (n == 1) {
            holding_the_link([&] { conn.deal_with(byte); });
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            reopen_port(conn, std::strerror(errno));
            deadline = Clock::now();
            continue;
        } else {
            // Nothing waits: idle in poll rather than waking every millisecond. A byte that
            // comes is read at once, in a pass that starts then.
            pollfd waiting{conn.serial_fd, POLLIN, 0};
            if (poll(&waiting, 1, 100) > 0) {
                if ((waiting.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
                    reopen_port(conn, hang_up_text(conn.serial_fd));
                deadline = Clock::now();
                continue;
            }
        }
        if (conn.wakeup_pause != 0) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            conn.wakeup_pause = 0;
        }
        deadline += kPass * ((read_at - deadline) / kPass + 1);
    }
}

}  // namespace

int run_link(std::function<void(double, int)> callback, const std::string& path) {
    LinkState& s = state();
    std::shared_ptr<UartConnector> conn;
    {
        std::lock_guard<std::mutex> lock(s.connector_mutex);
        if (s.running) {
            logF->logger->error("init_orvanite: the link already runs on {}, a second one is not started",
                                s.connector ? s.connector->port : path);
            return -1;
        }
        s.running = true;
        if (!s.exit_hook) s.exit_hook = std::atexit(stop_at_exit) == 0;
        // A connector left by an earlier call that has returned is replaced (its port closed).
        s.connector = std::make_shared<UartConnector>(std::move(callback), path);
        conn = s.connector;
    }
    struct Finished {
        LinkState& s;
        ~Finished() {
            std::lock_guard<std::mutex> lock(s.connector_mutex);
            s.running = false;
        }
    } finished{s};

    try {
        int fd = conn->open_port(conn->port);
        {
            std::lock_guard<std::mutex> lock(conn->write_mutex);
            conn->serial_fd = fd;
        }
        if (fd < 0) {
            logF->logger->error("open port {} failed", conn->port);
            return -1;
        }
        setup_port(fd);
        read_loop(*conn);
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
    }
    return -1;
}

void init_orvanite(std::function<void(double, int)> callback) { run_link(std::move(callback), DEVICE_PATH); }

bool send_orvanite_str(const std::string& text) {
    std::shared_ptr<UartConnector> conn;
    {
        LinkState& s = state();
        std::lock_guard<std::mutex> lock(s.connector_mutex);
        conn = s.connector;
    }
    if (!conn) {
        logF->logger->error("UartConnector is null, failed to send [{}] to orvanite.", text);
        return false;
    }
    logF->logger->info("send [{}] to orvanite", text);
    return conn->send_str(text);
}

}  // namespace orvanite
