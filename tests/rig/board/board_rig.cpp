#include "tests/rig/board/board_rig.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "tests/support/files.h"
#include "tests/support/private_tmp.h"
#include "tests/support/process.h"

namespace board_rig {

using Clock = std::chrono::steady_clock;

Bytes frame(uint8_t type, const std::string& payload, uint16_t id) {
    Bytes f;
    f.reserve(payload.size() + 8);
    for (size_t b :
         {size_t{0xA5}, size_t{0x01}, size_t{type}, payload.size(), payload.size() >> 8, size_t{id}, size_t{id} >> 8})
        f.push_back(static_cast<uint8_t>(b));
    f.insert(f.end(), payload.begin(), payload.end());
    uint8_t sum = 0;
    for (uint8_t b : f) sum = static_cast<uint8_t>(sum + b);
    f.push_back(static_cast<uint8_t>(0x100 - sum));
    return f;
}

Bytes handshake(uint16_t id) { return frame(kHandshake, std::string("\xA5\x00\x00\x00", 4), id); }

Bytes ack(uint16_t id) { return frame(kAckMsg, std::string("\xA5\x00\x00\x00", 4), id); }

std::string wakeup_json(double angle, int beam, size_t size) {
    nlohmann::json info = {{"ivw", {{"angle", angle}, {"beam", beam}}}};
    nlohmann::json msg = {{"type", "aiui_event"}, {"content", {{"arg1", 0}, {"eventType", 1}, {"info", info.dump()}}}};
    if (size <= msg.dump().size()) return msg.dump();
    msg["pad"] = "";
    msg["pad"] = std::string(size - std::min(size, msg.dump().size()), 'p');
    return msg.dump();
}

Bytes device_msg(const std::string& json, uint16_t id) { return frame(kDeviceMsg, json, id); }

Bytes wakeup(double angle, int beam, uint16_t id) { return device_msg(wakeup_json(angle, beam), id); }

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) out += {digits[b >> 4], digits[b & 0x0F], ' '};
    return out;
}

Bytes from_hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    unsigned byte = 0;
    while (in >> std::hex >> byte) out.push_back(static_cast<uint8_t>(byte));
    return out;
}

PtyBoard::PtyBoard() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) throw std::runtime_error(std::string("posix_openpt: ") + std::strerror(errno));
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0 ||
        (slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
        int err = errno;
        ::close(master_);
        throw std::runtime_error(std::string("pseudo-terminal set-up: ") + std::strerror(err));
    }
    slave_path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyBoard::~PtyBoard() { hang_up(); }

bool PtyBoard::wait_taken(std::chrono::milliseconds timeout) {
    int queued = -1;
    auto taken = [&] { return ioctl(slave_, FIONREAD, &queued) == 0 && queued == 0; };
    return slave_ >= 0 && test_support::waitUntil(taken, timeout, std::chrono::milliseconds(1));
}

void PtyBoard::hang_up() {
    for (int* fd : {&slave_, &master_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    pending_.clear();
}

bool PtyBoard::wait_raw(std::chrono::milliseconds timeout) {
    termios t{};
    // On Linux the master reports the slave's settings.
    auto raw = [&] {
        return tcgetattr(master_, &t) == 0 && !(t.c_lflag & ICANON) && cfgetispeed(&t) == B115200 &&
               cfgetospeed(&t) == B115200;
    };
    return test_support::waitUntil(raw, timeout, std::chrono::milliseconds(1));
}

void PtyBoard::reset_cooked() {
    termios t{};
    if (tcgetattr(master_, &t) != 0) return;
    t.c_lflag |= ICANON | ECHO;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (slave_ >= 0) tcsetattr(slave_, TCSANOW, &t);
}

bool PtyBoard::write(const Bytes& bytes) {
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            // The slave's input queue is full: the program reads about 1000 bytes a second.
            if (Clock::now() >= deadline) return false;
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
    return true;
}

bool PtyBoard::write_slowly(const Bytes& bytes, std::chrono::milliseconds gap) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (!write(Bytes{bytes[i]})) return false;
        if (i + 1 < bytes.size()) std::this_thread::sleep_for(gap);
    }
    return true;
}

bool PtyBoard::fill(Clock::time_point deadline) {
    for (;;) {
        uint8_t buf[4096];
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            pending_.insert(pending_.end(), buf, buf + n);
            return true;
        }
        auto now = Clock::now();
        if (now >= deadline) return false;
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            // EIO: no slave open at the moment; keep waiting for one.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        pollfd p{master_, POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<long long>(left + 1, 50)));
    }
}

Bytes PtyBoard::read_for(std::chrono::milliseconds window) {
    auto deadline = Clock::now() + window;
    while (fill(deadline)) {
    }
    return std::exchange(pending_, {});
}

std::optional<Bytes> PtyBoard::read_frame(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        // Skip to a sync pair.
        size_t start = 0;
        while (start < pending_.size() &&
               !(pending_[start] == 0xA5 && (start + 1 == pending_.size() || pending_[start + 1] == 0x01)))
            ++start;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(start));
        if (pending_.size() >= 7) {
            size_t len = static_cast<size_t>(pending_[3]) | (static_cast<size_t>(pending_[4]) << 8);
            if (pending_.size() >= len + 8) {
                Bytes f(pending_.begin(), pending_.begin() + static_cast<long>(len + 8));
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(len + 8));
                return f;
            }
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

std::vector<std::string> ttyacm0_command(const std::string& slave, const std::vector<std::string>& argv) {
    test_support::PrivateTmp p;
    p.privateTmp = false;
    p.ttyacm0 = slave;
    return test_support::privateTmpCommand(p, argv);
}

bool unplug_ttyacm0(pid_t pid) {
    return test_support::runQuietly({"/usr/bin/nsenter", "--target", std::to_string(pid), "--mount", "--", "/bin/rm",
                                     "-f", "/dev/ttyACM0"}) == 0;
}

bool plug_ttyacm0(pid_t pid, const std::string& slave) {
    // The terminal bound onto a file of its own (as private_tmp does: a freed /dev/pts number
    // never leads to another terminal), a new link to it beside the path, renamed onto it in
    // one step.
    const std::string script =
        "pin=$(mktemp /dev/ttyACM0.board.XXXXXX) && mount --bind \"$1\" \"$pin\" && "
        "ln -sfn \"$pin\" /dev/ttyACM0.new && mv -fT /dev/ttyACM0.new /dev/ttyACM0";
    return test_support::runQuietly({"/usr/bin/nsenter", "--target", std::to_string(pid), "--mount", "--", "/bin/sh",
                                     "-euc", script, "plug", slave}) == 0;
}

}  // namespace board_rig
