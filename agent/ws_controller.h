// The agent's side of the conversation with the cloud: the secure WebSocket, the JSON
// protocol, playback of received speech, emoji and turning towards the speaker.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "agent/playback.h"
#include "agent/rc_sdk_controller.h"
#include "agent/websocket_client.h"

namespace velantis {

// The cloud endpoint and the first message of every connection.
extern const std::string TOLVANE_WS_URL;
extern const nlohmann::json HELLO_MSG;

// Turns a "control" value ("word,number;word;...") into a command list.
std::vector<std::pair<std::string, int>> parseCommandList(const std::string& value);

class ws_controller {
public:
    ws_controller();
    ~ws_controller();

    ws_controller(const ws_controller&) = delete;
    ws_controller& operator=(const ws_controller&) = delete;

    // Configures and starts the connection of a new conversation; returns at once. False,
    // with an error line, when the connection cannot even be set up (no conversation is
    // open then). Never throws.
    bool connect();
    // Ends the speech of the conversation, closes the connection (1000, "Normal closure")
    // and waits for its threads to end.
    void disconnect();
    // Ready state: 0 connecting, 1 open, 2 closing, 3 closed.
    int getConnectionState() const;
    // Sends one binary frame while open; otherwise restarts the connection and drops it.
    void sendMessage(const std::string& data);

    // Stops what is playing and plays a WAV file, such as the greeting: speech that arrives
    // meanwhile is the answer and plays after it.
    void processWaveFile(const std::string& path);
    // The goodbye: from here on no more of the cloud's speech is played; then as
    // processWaveFile.
    void processGoodbyeFile(const std::string& path);
    // Decodes one Ogg Opus stream held in memory and plays it, until a sound or the end
    // of the conversation cuts it.
    void decodeAndProcessOpus(const std::string& data);

    // Shows an emoji state on the LED strip.
    void rcSetEmoji(int emoji);
    // Turns the robot towards the wake-up direction (degrees); the beam is not used.
    void rcFollowAwaken(double angle, int beam);

    // Acts on one text message of the cloud (JSON: "stt", "tts", "control", "hello").
    void onTextMessage(const std::string& text);

private:
    void onMessage(const net::WebSocketMessagePtr& msg);
    void onSpeech(const net::WebSocketMessage& msg);
    void onOpen(const net::WebSocketMessage& msg);
    void onControl(const nlohmann::json& message);
    void onTts(const nlohmann::json& message);
    // Plays a received stream as one that began at `epoch` (see playbackEpoch).
    void decodeAndPlay(const std::string& data, uint64_t epoch);
    // The next connection starts without its hello.
    void resetHello();
    // Everything connect() does; false with the reason when the connection cannot start.
    bool startConnection(std::string* why);

    std::shared_ptr<net::WebSocket> web_socket;
    rc_sdk_controller rc_controller;

    // Keeps connect, disconnect and the restart in sendMessage from overlapping.
    std::mutex connection_mutex_;
    // Between connect and the goodbye (or disconnect): only then may sendMessage restart the
    // connection, and only then is received speech played. connect and disconnect set it
    // under connection_mutex_; processGoodbyeFile clears it without.
    std::atomic<bool> conversation_open_{false};
    // Keeps the hello and the packets in order: the hello is sent and hello_sent_ set under
    // it, and a packet is sent only under it once hello_sent_ is set.
    std::mutex send_mutex_;
    // Set once the hello of the current connection has been sent: the cloud takes the hello
    // as the start of a conversation, so no packet may go out before it.
    std::atomic<bool> hello_sent_{false};
    // Packets refused by a full send queue since the last one accepted (under send_mutex_).
    size_t dropped_packets_ = 0;
};

}  // namespace velantis
