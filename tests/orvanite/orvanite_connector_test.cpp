// UartConnector on its own: frame writers, hex dumps and the byte-by-byte parser.
#include "orvanite/uart_connector.h"

#include "tests/orvanite/test_support.h"
#include "tests/rig/board/board_rig.h"
#include "tests/support/process_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <numeric>
#include <random>
#include <utility>

using board_rig::Bytes;
using board_rig::from_hex;
using orvanite_test::has;
using orvanite_test::Level;
using test_support::countLog;
using test_support::processLog;

namespace {

using WakeUps = std::vector<std::pair<double, int>>;

// A connector whose port is a pipe: what it writes is read back from the other end.
class ConnectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
        read_end_ = p[0];
        conn_.serial_fd = p[1];
        mark_ = processLog().size();
    }
    void TearDown() override {
        // Every case leaves the parser waiting for a sync byte with an empty buffer.
        EXPECT_EQ(Bytes(std::begin(conn_.rx_buffer), std::end(conn_.rx_buffer)), Bytes(sizeof conn_.rx_buffer, 0));
        if (read_end_ >= 0) ::close(read_end_);
    }
    std::vector<test_support::LogEntry> log() { return processLog().since(mark_); }
    void close_port() {
        ::close(conn_.serial_fd);
        conn_.serial_fd = -1;
    }
    void feed(const Bytes& bytes) {
        for (uint8_t b : bytes) conn_.deal_with(b);
    }
    Bytes written() {
        Bytes out;
        uint8_t buf[4096];
        ssize_t n;
        while ((n = ::read(read_end_, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
        return out;
    }

    WakeUps wakeups_;
    UartConnector conn_{[this](double angle, int beam) { wakeups_.emplace_back(angle, beam); }, "/dev/ttyACM0"};
    int read_end_ = -1;
    size_t mark_ = 0;
};

TEST_F(ConnectorTest, ControllerFramesCarryTheTextWithLengthIdAndChecksum) {
    EXPECT_EQ(conn_.build_frame("abc", 1), from_hex("A5 01 05 03 00 01 00 61 62 63 2B"));
    EXPECT_TRUE(has(log(), Level::info, "build_frame: A5 01 05 03 00 01 00 61 62 63 2B "));
    EXPECT_EQ(conn_.build_frame("", 1), from_hex("A5 01 05 00 00 01 00 54"));

    // The length field keeps the low 16 bits only.
    auto frame = conn_.build_frame(std::string(65536, 'x'), 0x1234);
    ASSERT_EQ(frame.size(), 65536u + 8);
    EXPECT_EQ(Bytes(frame.begin() + 3, frame.begin() + 7), from_hex("00 00 34 12"));

    std::mt19937 rng(7);
    for (int i = 0; i < 50; ++i) {
        std::string payload(rng() % 300, '\0');
        for (char& c : payload) c = static_cast<char>(rng());
        auto f = conn_.build_frame(payload, static_cast<uint16_t>(rng()));
        EXPECT_EQ(std::accumulate(f.begin(), f.end(), 0u) % 256, 0u);
        EXPECT_EQ(f, board_rig::frame(CONTROLLER_MSG, payload, static_cast<uint16_t>(f[5] | (f[6] << 8))));
    }
}

TEST_F(ConnectorTest, AckEchoesTheHandshakeIdWithItsChecksum) {
    EXPECT_TRUE(conn_.send_ACK(0x00, 0x00));
    const std::string dump = "A5 01 FF 04 00 00 00 A5 00 00 00 B2 ";
    EXPECT_EQ(written(), from_hex(dump));
    EXPECT_EQ(dump.size(), 36u);
    EXPECT_TRUE(has(log(), Level::info, "send_ACK: " + dump));
    EXPECT_TRUE(conn_.send_ACK(0x07, 0x00));
    EXPECT_EQ(written(), from_hex("A5 01 FF 04 00 07 00 A5 00 00 00 AB"));
    EXPECT_TRUE(conn_.send_ACK(0x34, 0x12));
    EXPECT_EQ(written(), from_hex("A5 01 FF 04 00 34 12 A5 00 00 00 6C"));

    close_port();
    EXPECT_FALSE(conn_.send_ACK(0x00, 0x00));
    EXPECT_TRUE(has(log(), Level::err, "Failed to send ACK: " + dump + ", write data error with -1"));
}

TEST_F(ConnectorTest, SendStrNumbersFramesAndReportsAClosedPort) {
    EXPECT_TRUE(conn_.send_str("one"));
    EXPECT_TRUE(conn_.send_str("two"));
    EXPECT_EQ(written(), board_rig::join(
                             {board_rig::frame(CONTROLLER_MSG, "one", 1), board_rig::frame(CONTROLLER_MSG, "two", 2)}));
    conn_.msg_seq = 65535;
    EXPECT_TRUE(conn_.send_str("wrap"));
    EXPECT_EQ(written(), board_rig::frame(CONTROLLER_MSG, "wrap", 0));

    // A write that fails (the reading end is gone), then no port at all.
    signal(SIGPIPE, SIG_IGN);
    ::close(std::exchange(read_end_, -1));
    EXPECT_FALSE(conn_.send_str("nobody"));
    EXPECT_TRUE(has(log(), Level::err, "Failed to send str: nobody, write data error with -1"));
    close_port();
    EXPECT_FALSE(conn_.send_str("lost"));
    EXPECT_TRUE(has(log(), Level::err, "Serial port not opend"));
}

TEST_F(ConnectorTest, OpenPortOpensATerminalAndReportsAMissingOne) {
    EXPECT_EQ(conn_.open_port("/nonexistent/ttyACM9"), -1);
    EXPECT_TRUE(has(log(), Level::err, "Can't Open Serial Port, error_code = -1"));

    board_rig::PtyBoard board;
    int fd = conn_.open_port(board.slave_path());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "status flags are cleared";
    EXPECT_TRUE(has(log(), Level::info, "open port /dev/ttyACM0 success"));
    EXPECT_EQ(has(log(), Level::err, "standard input is not a terminal device"), isatty(0) == 0);
    ::close(fd);
}

TEST_F(ConnectorTest, HandshakesAreAcknowledgedOnlyWhenWhole) {
    feed(from_hex("A5 01 01 04 00 00 00 A5 00 00 00 B0"));
    EXPECT_TRUE(has(log(), Level::info, "Received handshake msg: A5 01 01 04 00 00 00 A5 00 00 00 B0 "));
    EXPECT_EQ(written(), from_hex("A5 01 FF 04 00 00 00 A5 00 00 00 B2"));

    feed(from_hex("A5 01 01 04 00 00 00 A5 00 00 00 B1"));
    EXPECT_TRUE(has(log(), Level::err, "checksum failed for handshake!"));
    EXPECT_TRUE(written().empty());

    feed(board_rig::frame(HANDSHAKE, std::string("\xA5\x00\x00\x01", 4), 3));
    EXPECT_TRUE(has(log(), Level::info, "Received handshake msg: A5 01 01 04 00 03 00 A5 00 00 01 ", true));
    EXPECT_TRUE(written().empty());

    feed(board_rig::handshake(0x1234));
    EXPECT_EQ(written(), from_hex("A5 01 FF 04 00 34 12 A5 00 00 00 6C"));
}

TEST_F(ConnectorTest, ResynchronisesAfterGarbageAndLostBytes) {
    // Garbage before a frame is dropped without a word.
    feed(from_hex("00 FF 13"));
    EXPECT_TRUE(log().empty());
    feed(board_rig::handshake(1));
    EXPECT_EQ(written(), board_rig::ack(1));

    // A5 A5 01: the second A5 goes with the first, and 01 starts nothing.
    mark_ = processLog().size();
    feed(board_rig::join({{0xA5}, board_rig::handshake(2)}));
    EXPECT_TRUE(log().empty());
    EXPECT_TRUE(written().empty());

    // A handshake that lost a byte takes the next frame's sync byte as its checksum; the rest
    // of that frame is dropped, and the one after it is read again.
    mark_ = processLog().size();
    Bytes damaged = board_rig::handshake(3);
    damaged.erase(damaged.begin() + 9);
    feed(board_rig::join({damaged, board_rig::handshake(4), board_rig::handshake(5)}));
    EXPECT_EQ(countLog(log(), Level::err, "checksum failed for handshake!"), 1u);
    EXPECT_EQ(written(), board_rig::ack(5));
}

TEST_F(ConnectorTest, OversizedLengthIsDroppedAtTheHeader) {
    // Length 0xFFFF, then a handshake whose sync pair lies inside the dropped header.
    feed(board_rig::join({from_hex("A5 01 04 FF FF"), board_rig::handshake(6)}));
    EXPECT_TRUE(
        has(log(), Level::err, "frame length 65535 exceeds the receive buffer, dropped: A5 01 04 FF FF A5 01 "));
    EXPECT_EQ(written(), board_rig::ack(6));

    // Top bit set, and the largest length that still fits.
    feed(from_hex("A5 01 04 00 80 00 00"));
    EXPECT_TRUE(has(log(), Level::err, "frame length 32768 exceeds the receive buffer", true));
    feed(from_hex("A5 01 04 F9 03 00 00"));
    EXPECT_TRUE(has(log(), Level::err, "frame length 1017 exceeds the receive buffer", true));
    const Bytes biggest = board_rig::frame(0x42, std::string(1016, 'z'), 9);
    feed(biggest);
    // Its dump (3 characters a byte) is quoted to 1 KiB, with its whole length.
    const std::string dump = board_rig::hex(biggest);
    EXPECT_TRUE(has(log(), Level::warn, "Received Unknown msg_id msg: " + dump.substr(0, 1024) + "... (3072 bytes)"));
    // So is a parser's message that quotes the text.
    feed(board_rig::device_msg("\"" + std::string(1015, 'z')));
    EXPECT_TRUE(has(log(), Level::err, "deal with array_mic msg failed: [json.exception.parse_error", true));
    for (const auto& l : log())
        if (l.text.rfind("deal with array_mic msg failed: ", 0) == 0) {
            EXPECT_LT(l.text.size(), 1100u);
            EXPECT_NE(l.text.find(" bytes)"), std::string::npos);
        }
    feed(board_rig::handshake(10));
    EXPECT_EQ(written(), board_rig::ack(10));
}

TEST_F(ConnectorTest, OtherMessageTypesAreLoggedWithoutChecks) {
    Bytes controller = board_rig::frame(CONTROLLER_MSG, "hi", 1), ack = board_rig::ack(2);
    controller.back() ^= 0x55;  // no checksum check
    ack.back() ^= 0x55;
    const std::tuple<Bytes, Level, std::string> cases[] = {{controller, Level::err, "Received controller msg: "},
                                                           {ack, Level::info, "Received ACK msg: "},
                                                           {board_rig::frame(0x09, "", 3), Level::warn,
                                                            "Received Unknown msg_id msg: "}};
    for (const auto& [bytes, level, text] : cases) {
        feed(bytes);
        EXPECT_TRUE(has(log(), level, text + board_rig::hex(bytes)));
    }
    EXPECT_TRUE(written().empty());
}

TEST_F(ConnectorTest, DeviceMessagesBecomeWakeUps) {
    feed(board_rig::device_msg(board_rig::wakeup_json(90.5, 2), 1));
    EXPECT_EQ(wakeups_, (WakeUps{{90.5, 2}}));
    EXPECT_EQ(conn_.wakeup_pause, 1);
    EXPECT_TRUE(has(log(), Level::info, "Received device msg: " + board_rig::wakeup_json(90.5, 2)));
    EXPECT_TRUE(has(log(), Level::info, "Detected wakeup - angle: 90.5, beam: 2"));
    EXPECT_TRUE(has(log(), Level::info, "!!!!!! check mate !!!!!!"));
    EXPECT_TRUE(written().empty()) << "device messages are not acknowledged";
    conn_.wakeup_pause = 0;

    const std::string info = R"({\"ivw\":{\"angle\":90.5,\"beam\":2}})";
    feed(board_rig::device_msg(R"({"type":"aiui_event","content":{"arg1":1,"info":")" + info + "\"}}"));
    EXPECT_TRUE(has(log(), Level::err, "deal with array_mic msg failed: [json.exception.type_error", true));
    EXPECT_EQ(wakeups_.size(), 1u);
    EXPECT_EQ(conn_.wakeup_pause, 0);

    mark_ = processLog().size();
    feed(board_rig::device_msg(R"({"type":"other"})"));
    ASSERT_EQ(log().size(), 1u) << "ignored without a word";
    EXPECT_TRUE(has(log(), Level::info, R"(Received device msg: {"type":"other"})"));
    feed(board_rig::device_msg("[1,2]"));
    EXPECT_TRUE(has(log(), Level::info, "deal with other array_mic msg: [1,2]"));

    Bytes bad = board_rig::device_msg(R"({"type":"other"})");
    bad.back() ^= 1;
    feed(bad);
    EXPECT_TRUE(has(log(), Level::err, R"(checksum failed! ignore array_mic msg {"type":"other"})"));

    Bytes empty = board_rig::device_msg("");
    feed(empty);
    EXPECT_TRUE(has(log(), Level::err, "ERROR in frame_length <= 8, has no str_msg"));
    EXPECT_TRUE(has(log(), Level::err, "ERROR RAW msg = [" + board_rig::hex(empty) + "]"));
    EXPECT_EQ(wakeups_.size(), 1u);
}

TEST_F(ConnectorTest, MalformedWakeUpsAreLoggedAndSurvived) {
    auto event = [](const std::string& ivw) {
        nlohmann::json info = {{"ivw", nlohmann::json::parse(ivw)}};
        return nlohmann::json{{"type", "aiui_event"},
                              {"content", {{"arg1", 0}, {"eventType", 1}, {"info", info.dump()}}}}
            .dump();
    };
    nlohmann::json boolean_event_type = nlohmann::json::parse(event(R"({"angle":90,"beam":1})"));
    boolean_event_type["content"]["eventType"] = false;
    const std::vector<std::string> bad = {
        boolean_event_type.dump(),
        "not json",
        R"({"type":5})",
        R"({"type":"aiui_event","content":{"arg1":0,"eventType":1,"info":"{broken"}})",
        R"({"type":"aiui_event","content":{"arg1":"0","eventType":1,"info":"{}"}})",
        R"({"type":"aiui_event","content":[1]})",
        event(R"({"angle":90})"),
        event(R"({"angle":"90","beam":1})"),
        event(R"({"angle":90,"beam":1e300})"),
        event(R"({"angle":90,"beam":4294967296})"),
        event(R"({"angle":90,"beam":true})"),
        event(R"([1])"),
    };
    for (const auto& payload : bad) {
        mark_ = processLog().size();
        feed(board_rig::device_msg(payload));
        EXPECT_TRUE(has(log(), Level::err, "deal with array_mic msg failed: ", true)) << payload;
    }
    EXPECT_TRUE(wakeups_.empty());

    // Large but valid numbers, and a float beam read as int.
    feed(board_rig::device_msg(event(R"({"angle":-1e300,"beam":2147483647})")));
    feed(board_rig::device_msg(event(R"({"angle":0,"beam":3.9})")));
    // arg1 and eventType only have to be numbers: their values are not used.
    nlohmann::json odd = nlohmann::json::parse(event(R"({"angle":45,"beam":1})"));
    odd["content"]["arg1"] = 1e300;
    odd["content"]["eventType"] = 18446744073709551615u;
    feed(board_rig::device_msg(odd.dump()));
    EXPECT_EQ(wakeups_, (WakeUps{{-1e300, 2147483647}, {0.0, 3}, {45.0, 1}}));
    conn_.wakeup_pause = 0;

    // A callback that throws ends in the same handler; a missing one is reported.
    mark_ = processLog().size();
    conn_.awaken_callback = [](double, int) { throw std::runtime_error("callback broke"); };
    feed(board_rig::wakeup(1, 1));
    EXPECT_TRUE(has(log(), Level::err, "deal with array_mic msg failed: callback broke"));
    EXPECT_EQ(conn_.wakeup_pause, 1) << "the pause flag stays set";

    // Anything else leaves through deal_with, here at the end of a full 1024-byte frame: the
    // parser is waiting again all the same and never writes past its buffer.
    conn_.awaken_callback = [](double, int) { throw 1; };
    EXPECT_THROW(feed(board_rig::device_msg(board_rig::wakeup_json(1, 1, FRAME_MAX_PAYLOAD))), int);
    feed(board_rig::handshake(11));
    EXPECT_EQ(written(), board_rig::ack(11));
    EXPECT_EQ(conn_.wakeup_pause, 1);

    conn_.awaken_callback = nullptr;
    feed(board_rig::wakeup(1, 1));
    EXPECT_TRUE(has(log(), Level::warn, "no awaken_callback inited"));
    conn_.wakeup_pause = 0;
}

}  // namespace
