#include "agent/ws_controller.h"

#include <opus/opus.h>
#include <opus/opusfile.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

#include "common/console_line.h"
#include "common/log_quote.h"
#include "common/log_utils.h"

namespace velantis {

namespace {

constexpr const char* kAccessToken = "bravo_key92";
constexpr const char* kDeviceId = "00:11:22:33:44:55";
constexpr auto kNormalCode = net::WebSocketCloseConstants::kNormalClosureCode;
constexpr const char* kNormalReason = net::WebSocketCloseConstants::kNormalClosureMessage;
constexpr int kOpusBlockSamples = 5760;

nlohmann::json makeHello() {
    nlohmann::json hello;
    hello["type"] = "hello";
    hello["device_id"] = kDeviceId;
    hello["device_name"] = "Web测试设备";
    hello["device_mac"] = kDeviceId;
    hello["token"] = kAccessToken;
    return hello;
}

// "[2026-12-07 14:03:09.042] " from one reading of the system clock.
std::string localTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long millis = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() /
                             1000000 % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    std::ostringstream out;
    out << '[' << std::put_time(&local, "%Y-%m-%d %H:%M:%S") << '.' << std::setw(3) << std::setfill('0') << millis
        << "] ";
    return out.str();
}

// A command number rounded half away from zero; throws like std::stof when it has no
// int value (no number, out of range, infinite or NaN).
int commandNumber(const std::string& text) {
    const double rounded = std::round(static_cast<double>(std::stof(text)));
    if (!(rounded >= -2147483648.0 && rounded < 2147483648.0)) {
        throw std::out_of_range("stof");
    }
    return static_cast<int>(rounded);
}

// Logs the "text" of an "stt" or "tts" message (`kind`), or that it has none.
void logText(const nlohmann::json& message, const char* kind) {
    if (message.contains("text")) {
        logF->logger->info("Received {} text: {}", kind, logQuote(message["text"].get<std::string>()));
    } else {
        logF->logger->warn("{} message does not contain 'text'", kind);
    }
}

}  // namespace

const nlohmann::json HELLO_MSG = makeHello();

std::vector<std::pair<std::string, int>> parseCommandList(const std::string& value) {
    std::vector<std::pair<std::string, int>> commands;
    std::istringstream items(value);
    std::string item;
    while (std::getline(items, item, ';')) {
        const auto comma = item.find(',');
        if (comma == std::string::npos) {
            commands.emplace_back(item, 0);
            continue;
        }
        const std::string word = item.substr(0, comma);
        const std::string number = item.substr(comma + 1);
        try {
            commands.emplace_back(word, commandNumber(number));
        } catch (const std::exception& e) {
            logF->logger->error("Failed to parse command value: {} - {}", logQuote(number), e.what());
        }
    }
    return commands;
}

ws_controller::ws_controller() : rc_controller("0.0.0.0") { web_socket = std::make_shared<net::WebSocket>(); }

ws_controller::~ws_controller() {
    if (web_socket) {
        web_socket->stop(kNormalCode, kNormalReason);
        web_socket.reset();
    }
    net::uninitNetSystem();
    logF->logger->info("WebSocket uninitialized");
}

bool ws_controller::connect() {
    std::lock_guard<std::mutex> lock(connection_mutex_);
    std::string why;
    try {
        if (startConnection(&why)) return true;
    } catch (const std::exception& e) {
        why = e.what();
    }
    conversation_open_ = false;
    // Logged as the callback logs any connection that fails.
    logF->logger->error("Error: {}", logQuote("Unable to set up a connection to " + TOLVANE_WS_URL + ": " + why));
    return false;
}

// connection_mutex_ held.
bool ws_controller::startConnection(std::string* why) {
    // A conversation ended without disconnect may have left a connection behind, perhaps
    // still playing its last answer: end both, so the new conversation gets a fresh
    // connection and the callback is never replaced under a running thread.
    cutStreams();
    web_socket->stop(kNormalCode, kNormalReason);

    net::initNetSystem();
    web_socket->setUrl(TOLVANE_WS_URL);
    web_socket->disableAutomaticReconnection();
    net::WebSocketHttpHeaders headers;
    headers["authorization"] = kAccessToken;
    web_socket->setExtraHeaders(headers);
    logF->logger->info("{}", net::userAgent());
    logF->logger->info("Connecting to {}", TOLVANE_WS_URL);
    web_socket->setOnMessageCallback([this](const net::WebSocketMessagePtr& msg) { onMessage(msg); });
    resetHello();
    conversation_open_ = true;
    return web_socket->start(why);
}

void ws_controller::disconnect() {
    std::lock_guard<std::mutex> lock(connection_mutex_);
    conversation_open_ = false;
    cutStreams();
    web_socket->stop(kNormalCode, kNormalReason);
}

void ws_controller::resetHello() {
    std::lock_guard<std::mutex> lock(send_mutex_);
    hello_sent_ = false;
}

int ws_controller::getConnectionState() const {
    if (!web_socket) {
        return static_cast<int>(net::ReadyState::Closed);
    }
    return static_cast<int>(web_socket->getReadyState());
}

void ws_controller::sendMessage(const std::string& data) {
    if (!web_socket) {
        logF->logger->error("WebSocket is not initialized");
        return;
    }
    if (web_socket->getReadyState() != net::ReadyState::Open) {
        logF->logger->warn("WebSocket is not open, try to reconnect");
        std::lock_guard<std::mutex> lock(connection_mutex_);
        // No restart once the conversation has ended, nor while connect or disconnect runs.
        if (conversation_open_ && web_socket->getReadyState() != net::ReadyState::Open) {
            web_socket->stop(kNormalCode, kNormalReason);
            resetHello();
            std::string why;
            if (!web_socket->start(&why)) {
                logF->logger->error("Error: {}",
                                    logQuote("Unable to set up a connection to " + TOLVANE_WS_URL + ": " + why));
            }
        }
        return;
    }
    std::lock_guard<std::mutex> lock(send_mutex_);
    // Open, but the hello is still on its way (100 ms after the open): dropped like a packet
    // encoded before the open.
    if (!hello_sent_) {
        return;
    }
    if (web_socket->send(data, true).success) {
        if (dropped_packets_ != 0) {
            logF->logger->warn("WebSocket send queue takes packets again, {} dropped", dropped_packets_);
            dropped_packets_ = 0;
        }
    } else if (web_socket->getReadyState() == net::ReadyState::Open && dropped_packets_++ == 0) {
        logF->logger->warn("WebSocket send queue is full (the cloud does not read), dropping packets");
    }
}

void ws_controller::processWaveFile(const std::string& path) { StopAndPlayFile(path); }

void ws_controller::processGoodbyeFile(const std::string& path) {
    // No stream starts from here on. Cleared before the cut, so a stream that still saw the
    // conversation open took its epoch before the cut. Not under connection_mutex_: the
    // goodbye must not wait for a restart in sendMessage.
    conversation_open_ = false;
    processWaveFile(path);
}

void ws_controller::decodeAndProcessOpus(const std::string& data) { decodeAndPlay(data, playbackEpoch()); }

void ws_controller::decodeAndPlay(const std::string& data, uint64_t epoch) {
    int error = 0;
    OggOpusFile* stream = op_open_memory(reinterpret_cast<const unsigned char*>(data.data()), data.size(), &error);
    if (error != 0 || stream == nullptr) {
        logF->logger->error("decode ogg opusData failed with: {}", opus_strerror(error));
        if (stream != nullptr) {
            op_free(stream);
        }
        return;
    }

    opus_int16 buffer[kOpusBlockSamples];
    const bool mono = op_channel_count(stream, -1) == 1;
    while (true) {
        int samples;
        if (mono) {
            samples = op_read(stream, buffer, kOpusBlockSamples, nullptr);
        } else {
            // The speaker is mono: mix the two sides of a stereo (or down-mixed) stream.
            samples = op_read_stereo(stream, buffer, kOpusBlockSamples);
            for (int i = 0; i < samples; ++i) {
                buffer[i] = static_cast<opus_int16>((buffer[2 * i] + buffer[2 * i + 1]) / 2);
            }
        }
        if (samples <= 0 || !playStreamBlock(epoch, buffer, static_cast<size_t>(samples) * 2)) {
            break;
        }
    }
    op_free(stream);
}

void ws_controller::rcSetEmoji(int emoji) {
    if (static_cast<uint32_t>(emoji) > 11) {
        logF->logger->error("Invalid emoji state: {}", emoji);
        return;
    }
    int state = emoji;
    if (emoji >= 9) {
        logF->logger->warn("Emoji state {} is not supported, will using default state 8", emoji);
        state = 8;
    }
    rc_sdk_controller::show_emoji(state);
}

void ws_controller::rcFollowAwaken(double angle, int beam) {
    logF->logger->info("Following awaken command");
    std::vector<std::pair<std::string, int>> commands;
    // The integer part must be a 32-bit number; anything else gives no turn.
    if (!(angle > -2147483649.0 && angle < 2147483648.0)) {
        logF->logger->warn("rcFollowAwaken: unusable angle {}, no turn", angle);
    } else {
        const int64_t t = static_cast<int32_t>(angle);
        const int a = static_cast<int>((t + 400) % 360);
        const int d = (a - 180) / 2;
        if (a > 181) {
            logF->logger->info("rcFollowAwaken: 左转, angle_int = {}", d);
            commands.emplace_back("左转", d);
        } else if (d != 0) {
            logF->logger->info("rcFollowAwaken: 右转, angle_int = {}", d);
            commands.emplace_back("右转", -d);
        }
    }
    rc_controller.check_robot_state();
    rc_controller.handle_command_list(commands);
}

void ws_controller::onMessage(const net::WebSocketMessagePtr& msg) {
    switch (msg->type) {
    case net::WebSocketMessageType::Message:
        if (msg->binary) {
            onSpeech(*msg);
        } else {
            logF->logger->debug("Received string message: {}", logQuote(msg->str));
            onTextMessage(msg->str);
        }
        break;
    case net::WebSocketMessageType::Open:
        onOpen(*msg);
        break;
    case net::WebSocketMessageType::Close:
        logF->logger->info("Connection closed: {}, str: {}, errorinfo: {}", logQuote(msg->closeInfo.reason),
                           logQuote(msg->str), logQuote(msg->errorInfo.reason));
        break;
    case net::WebSocketMessageType::Error:
        logF->logger->error("Error: {}", logQuote(msg->errorInfo.reason));
        break;
    default:
        logF->logger->error("Unknown message type: {}, with msg: {}", static_cast<int>(msg->type), logQuote(msg->str));
        break;
    }
}

// Received speech: one console line, then the stream is played unless the conversation has ended.
void ws_controller::onSpeech(const net::WebSocketMessage& msg) {
    // Taken before the conversation is looked at: a goodbye or disconnect in between cuts it.
    const uint64_t epoch = playbackEpoch();
    consoleLine(std::cout, localTimestamp(), "Received binary message of size: ", msg.wireSize);
    if (conversation_open_) {
        decodeAndPlay(msg.str, epoch);
    }
}

// The server's handshake headers go to the log; the hello follows 100 ms later.
void ws_controller::onOpen(const net::WebSocketMessage& msg) {
    std::string headers;
    for (const auto& header : msg.openInfo.headers) {
        headers += header.first + ": " + header.second + "\n";
    }
    logF->logger->info("Connection opened:\n{}", logQuote(headers));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> lock(send_mutex_);
    logF->logger->info("Sending message: {}", HELLO_MSG.dump());
    web_socket->send(HELLO_MSG.dump(), false);
    hello_sent_ = true;
}

void ws_controller::onTextMessage(const std::string& text) {
    try {
        const nlohmann::json message = nlohmann::json::parse(text);
        if (!message.is_object() || !message.contains("type")) {
            return;
        }
        const std::string type = message["type"].get<std::string>();
        if (type == "control") {
            onControl(message);
        } else if (type == "stt") {
            logText(message, "STT");
        } else if (type == "tts") {
            onTts(message);
        } else if (type != "hello") {  // the cloud's hello needs no answer
            logF->logger->warn("Unknown message type: {}", logQuote(type));
        }
    } catch (const std::exception& e) {
        logF->logger->error("Failed to parse JSON message: {}", logQuote(e.what()));
    }
}

void ws_controller::onControl(const nlohmann::json& message) {
    if (!message.contains("value")) {
        logF->logger->warn("Control message does not contain 'value'");
        return;
    }
    const std::string value = message["value"].get<std::string>();
    logF->logger->info("Control command: {}", logQuote(value));
    if (value.empty()) {
        logF->logger->error("Received empty message block");
        return;
    }
    rc_controller.handle_command_list(parseCommandList(value));
}

// The state ("start" shows emoji 5) and the text, each logged on its own.
void ws_controller::onTts(const nlohmann::json& message) {
    if (message.contains("state")) {
        const std::string state = message["state"].get<std::string>();
        logF->logger->info("Received TTS state: {}", logQuote(state));
        if (state == "start") {
            rcSetEmoji(5);
        }
    } else {
        logF->logger->warn("TTS message does not contain 'state'");
    }
    logText(message, "TTS");
}

}  // namespace velantis
