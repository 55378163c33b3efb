// Serial link to the microphone-array board: frames, the byte-by-byte parser and the port.
#pragma once

#include "common/log_quote.h"
#include "common/log_utils.h"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

constexpr uint8_t FRAME_SYNC = 0xA5;
constexpr uint8_t FRAME_USER_ID = 0x01;
constexpr int RX_BUFFER_SIZE = 1024;
// Header (sync, user id, type, length, id) and checksum around the payload.
constexpr int FRAME_OVERHEAD = 8;
constexpr int FRAME_MAX_PAYLOAD = RX_BUFFER_SIZE - FRAME_OVERHEAD;

enum UartMsgType : uint8_t {
    HANDSHAKE = 0x01,
    DEVICE_MSG = 0x04,
    CONTROLLER_MSG = 0x05,
    ACK_MSG = 0xFF,
};

// Two's complement of the 8-bit sum, so a whole frame sums to 0.
inline uint8_t frame_checksum(const uint8_t* data, size_t n) {
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return static_cast<uint8_t>(0x100 - sum);
}

// Every byte as two upper-case hex digits and a space.
inline std::string hex_dump(const uint8_t* data, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
        out += ' ';
    }
    return out;
}

// JSON numbers of the board's messages. Anything else ends in a type error (a missing key
// reads as null); an int beyond its range is an error, not a wrapped value.
inline double json_to_double(const nlohmann::json& value, const char* name) {
    if (value.is_boolean()) throw std::invalid_argument(std::string(name) + " must be a number, but is boolean");
    return value.get<double>();
}

// A number whose value is not used: any size will do.
inline void json_require_number(const nlohmann::json& value, const char* name) { json_to_double(value, name); }

inline int json_to_int(const nlohmann::json& value, const char* name) {
    if (value.is_boolean()) throw std::invalid_argument(std::string(name) + " must be a number, but is boolean");
    if (value.is_number_float()) {
        double d = value.get<double>();
        if (!std::isfinite(d) || d <= static_cast<double>(INT_MIN) - 1.0 || d >= static_cast<double>(INT_MAX) + 1.0)
            throw std::out_of_range(std::string(name) + " is out of range for int");
    } else if (value.is_number_unsigned()) {
        if (value.get<uint64_t>() > static_cast<uint64_t>(INT_MAX))
            throw std::out_of_range(std::string(name) + " is out of range for int");
    } else if (value.is_number_integer()) {
        int64_t v = value.get<int64_t>();
        if (v < INT_MIN || v > INT_MAX) throw std::out_of_range(std::string(name) + " is out of range for int");
    }
    return value.get<int>();
}

class UartConnector {
public:
    std::function<void(double, int)> awaken_callback;
    int serial_fd = -1;
    std::string port;
    uint8_t rx_buffer[RX_BUFFER_SIZE] = {};
    int wakeup_pause = 0;
    uint16_t msg_seq = 0;
    // Keeps a controller frame and an ACK from interleaving on the port.
    std::mutex write_mutex;

    UartConnector(std::function<void(double, int)> callback, std::string path)
        : awaken_callback(std::move(callback)), port(std::move(path)) {}

    ~UartConnector() {
        if (serial_fd >= 0) ::close(serial_fd);
    }

    UartConnector(const UartConnector&) = delete;
    UartConnector& operator=(const UartConnector&) = delete;

    std::vector<unsigned char> build_frame(const std::string& payload, uint16_t seq) {
        std::vector<unsigned char> frame;
        frame.reserve(payload.size() + FRAME_OVERHEAD);
        frame.push_back(FRAME_SYNC);
        frame.push_back(FRAME_USER_ID);
        frame.push_back(CONTROLLER_MSG);
        frame.push_back(static_cast<unsigned char>(payload.size() & 0xFF));
        frame.push_back(static_cast<unsigned char>((payload.size() >> 8) & 0xFF));
        frame.push_back(static_cast<unsigned char>(seq & 0xFF));
        frame.push_back(static_cast<unsigned char>(seq >> 8));
        frame.insert(frame.end(), payload.begin(), payload.end());
        frame.push_back(frame_checksum(frame.data(), frame.size()));
        logF->logger->info("build_frame: {}", hex_dump(frame.data(), frame.size()));
        return frame;
    }

    bool send_ACK(uint8_t id_lo, uint8_t id_hi) {
        uint8_t ack[12] = {FRAME_SYNC, FRAME_USER_ID, ACK_MSG, 0x04, 0x00, id_lo, id_hi, 0xA5, 0x00, 0x00, 0x00, 0};
        ack[11] = frame_checksum(ack, 11);
        std::string dump = hex_dump(ack, sizeof ack);
        logF->logger->info("send_ACK: {}", dump);
        ssize_t n;
        {
            std::lock_guard<std::mutex> lock(write_mutex);
            n = ::write(serial_fd, ack, sizeof ack);
        }
        if (n < 0) {
            logF->logger->error("Failed to send ACK: {}, write data error with {}", dump, static_cast<int>(n));
            return false;
        }
        return true;
    }

    int deal_with(uint8_t byte) {
        int& count = parser().count;
        int& frame_len = parser().frame_len;

        // Never past the buffer, whatever a frame that ended in an exception left behind.
        if (count < 0 || count >= RX_BUFFER_SIZE) {
            count = 0;
            frame_len = 0;
        }
        rx_buffer[count] = byte;
        if (rx_buffer[0] != FRAME_SYNC) {
            // Only byte 0 was written: the buffer is all zero again.
            rx_buffer[0] = 0;
            return 0;
        }
        if (count == 1) {
            if (byte == FRAME_USER_ID) {
                count = 2;
            } else {
                rx_buffer[0] = 0;
                rx_buffer[1] = 0;
                count = 0;
                frame_len = 0;
            }
            return 0;
        }
        ++count;
        if (count == 7) {
            int payload_len = rx_buffer[3] | (rx_buffer[4] << 8);
            if (payload_len > FRAME_MAX_PAYLOAD) {
                // Would not fit the buffer: drop the header and look for a frame in what followed
                // its sync byte.
                logF->logger->error("frame length {} exceeds the receive buffer, dropped: {}", payload_len,
                                    hex_dump(rx_buffer, 7));
                uint8_t rest[6];
                std::memcpy(rest, rx_buffer + 1, sizeof rest);
                std::memset(rx_buffer, 0, 7);
                count = 0;
                frame_len = 0;
                for (uint8_t b : rest) deal_with(b);
                return 0;
            }
            frame_len = payload_len + FRAME_OVERHEAD;
        }
        if (count == frame_len) {
            // Back to waiting before the frame is handled: an exception out of its handling
            // (the callback's among them) must not leave the position behind.
            int len = frame_len;
            count = 0;
            frame_len = 0;
            struct Clear {
                uint8_t* buffer;
                ~Clear() { std::memset(buffer, 0, RX_BUFFER_SIZE); }
            } clear{rx_buffer};
            process_frame(len);
        }
        return 0;
    }

    // Back to waiting for a sync byte, with an empty buffer (a port that was reopened starts
    // afresh).
    void reset_parser() {
        parser() = ParserState{};
        std::memset(rx_buffer, 0, RX_BUFFER_SIZE);
    }

    // Opens the device without a log line: the descriptor, or the negative result of open.
    static int open_device(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NDELAY); }

    int open_port(const std::string& path) {
        int fd = open_device(path);
        if (fd < 0) {
            logF->logger->error("Can't Open Serial Port, error_code = {}", fd);
            return fd;
        }
        return finish_open(fd);
    }

    // The rest of open_port once the device has opened.
    int finish_open(int fd) {
        if (fcntl(fd, F_SETFL, 0) < 0) logF->logger->error("fcntl failed!");
        if (isatty(STDIN_FILENO) == 0) logF->logger->error("standard input is not a terminal device");
        logF->logger->info("open port {} success", port);
        return fd;
    }

    bool send_str(const std::string& text) {
        std::lock_guard<std::mutex> lock(write_mutex);
        if (serial_fd < 0) {
            logF->logger->error("Serial port not opend");
            return false;
        }
        ++msg_seq;
        std::vector<unsigned char> frame = build_frame(text, msg_seq);
        ssize_t n = ::write(serial_fd, frame.data(), frame.size());
        if (n < 0) {
            logF->logger->error("Failed to send str: {}, write data error with {}", text, static_cast<int>(n));
            return false;
        }
        return true;
    }

private:
    struct ParserState {
        int count = 0;
        int frame_len = 0;
    };

    // One parser per process: a process has one connector.
    static ParserState& parser() {
        static ParserState state;
        return state;
    }

    bool checksum_ok(int len) const {
        return frame_checksum(rx_buffer, static_cast<size_t>(len - 1)) == rx_buffer[len - 1];
    }

    void process_frame(int len) {
        std::string dump = logQuote(hex_dump(rx_buffer, static_cast<size_t>(len)));
        switch (rx_buffer[2]) {
        case HANDSHAKE:
            if (!checksum_ok(len)) {
                logF->logger->error("checksum failed for handshake!");
                return;
            }
            logF->logger->info("Received handshake msg: {}", dump);
            if (rx_buffer[7] == 0xA5 && rx_buffer[8] == 0x00 && rx_buffer[9] == 0x00 && rx_buffer[10] == 0x00)
                send_ACK(rx_buffer[5], rx_buffer[6]);
            return;
        case DEVICE_MSG: {
            if (len <= FRAME_OVERHEAD) {
                logF->logger->error("ERROR in frame_length <= 8, has no str_msg");
                logF->logger->error("ERROR RAW msg = [{}]", dump);
                return;
            }
            std::string text(reinterpret_cast<const char*>(rx_buffer + 7), static_cast<size_t>(len - FRAME_OVERHEAD));
            if (!checksum_ok(len)) {
                logF->logger->error("checksum failed! ignore array_mic msg {}", logQuote(text));
                return;
            }
            logF->logger->info("Received device msg: {}", logQuote(text));
            handle_device_json(text);
            return;
        }
        case CONTROLLER_MSG:
            logF->logger->error("Received controller msg: {}", dump);
            return;
        case ACK_MSG:
            logF->logger->info("Received ACK msg: {}", dump);
            return;
        default:
            logF->logger->warn("Received Unknown msg_id msg: {}", dump);
            return;
        }
    }

    void handle_device_json(const std::string& text) {
        try {
            nlohmann::json msg = nlohmann::json::parse(text);
            if (!msg.is_object() || !msg.contains("type")) {
                logF->logger->info("deal with other array_mic msg: {}", logQuote(text));
                return;
            }
            if (msg["type"].get<std::string>() != "aiui_event") return;
            nlohmann::json& content = msg["content"];
            json_require_number(content["arg1"], "arg1");
            json_require_number(content["eventType"], "eventType");
            nlohmann::json info = nlohmann::json::parse(content["info"].get<std::string>());
            nlohmann::json& ivw = info["ivw"];
            double angle = json_to_double(ivw["angle"], "angle");
            int beam = json_to_int(ivw["beam"], "beam");
            logF->logger->info("Detected wakeup - angle: {}, beam: {}", angle, beam);
            wakeup_pause = 1;
            logF->logger->info("!!!!!! check mate !!!!!!");
            if (awaken_callback) {
                awaken_callback(angle, beam);
            } else {
                logF->logger->warn("no awaken_callback inited");
            }
        } catch (const std::exception& e) {
            logF->logger->error("deal with array_mic msg failed: {}", logQuote(e.what()));
        }
    }
};
