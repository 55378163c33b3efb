// Local messages: the 24-byte header, the message types, the payload records and the
// one way to fill a header. Every record is sent as its in-memory bytes, native byte order.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace velantis {

// Header of every local message, native byte order; `length` payload bytes follow it.
struct MessageHeader {
    uint32_t type;       // a MessageType value
    uint32_t length;     // payload bytes that follow; 0 = none
    uint64_t timestamp;  // sender's clock, ms since the Unix epoch
    uint64_t id;         // request id, echoed by the reply
};

static_assert(sizeof(MessageHeader) == 24, "MessageHeader is 24 bytes on the wire");
static_assert(offsetof(MessageHeader, type) == 0, "type at offset 0");
static_assert(offsetof(MessageHeader, length) == 4, "length at offset 4");
static_assert(offsetof(MessageHeader, timestamp) == 8, "timestamp at offset 8");
static_assert(offsetof(MessageHeader, id) == 16, "id at offset 16");
static_assert(std::is_trivial<MessageHeader>::value, "MessageHeader is sent as its in-memory bytes");
static_assert(std::is_standard_layout<MessageHeader>::value, "MessageHeader is sent as its in-memory bytes");

enum MessageType : uint32_t {
    WAKEWORD_EVENT = 1001,
    WAKEWORD_STATE = 1002,
    WAKEWORD_ERROR = 1003,
    WAKEWORD_ACK = 1004,
    TTS_REQUEST = 2001,
    TTS_ACK = 2006,
    AGENT_START = 9001,
    AGENT_STOP = 9002,
};

// The clock of every header: the system clock in whole milliseconds since the Unix epoch
// (truncated).
inline uint64_t currentTimestamp() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count()) / 1000000u;
}

// A header for a message of `type` with `length` payload bytes, stamped now.
inline MessageHeader makeMessageHeader(uint32_t type, uint32_t length, uint64_t id) {
    return MessageHeader{type, length, currentTimestamp(), id};
}

#pragma pack(push, 1)
// AGENT_START and AGENT_STOP (320 bytes): two NUL-terminated texts, each read only up to its
// width.
struct AgentCommandPayload {
    char from[64];
    char description[256];
};
// WAKEWORD_EVENT (17 bytes).
struct WakeWordEventPayload {
    double angle;
    int32_t beam;
    float confidence;
    uint8_t state;
};
// WAKEWORD_STATE (66 bytes); reason holds at most 63 bytes, zero-filled.
struct WakeWordStatePayload {
    uint8_t old_state;
    uint8_t new_state;
    char reason[64];
};
// WAKEWORD_ERROR (132 bytes).
struct WakeWordErrorPayload {
    int32_t code;
    char message[128];
};
// TTS_REQUEST: these 10 bytes, then text_length bytes of UTF-8 text (no terminator).
struct TtsRequestPayload {
    int32_t sid;
    float speed;
    uint16_t text_length;
};
#pragma pack(pop)

static_assert(sizeof(AgentCommandPayload) == 320, "AgentCommandPayload is 320 bytes");
static_assert(offsetof(AgentCommandPayload, description) == 64, "description at offset 64");
static_assert(sizeof(WakeWordEventPayload) == 17, "WakeWordEventPayload is 17 bytes");
static_assert(offsetof(WakeWordEventPayload, state) == 16, "state at offset 16");
static_assert(sizeof(WakeWordStatePayload) == 66, "WakeWordStatePayload is 66 bytes");
static_assert(sizeof(WakeWordErrorPayload) == 132, "WakeWordErrorPayload is 132 bytes");
static_assert(sizeof(TtsRequestPayload) == 10, "TtsRequestPayload is 10 bytes before the text");
static_assert(offsetof(TtsRequestPayload, text_length) == 8, "text_length at offset 8");

}  // namespace velantis

using velantis::AGENT_START;
using velantis::AGENT_STOP;
using velantis::AgentCommandPayload;
using velantis::MessageType;
using velantis::TTS_ACK;
using velantis::TTS_REQUEST;
using velantis::TtsRequestPayload;
using velantis::WAKEWORD_ACK;
using velantis::WAKEWORD_ERROR;
using velantis::WAKEWORD_EVENT;
using velantis::WAKEWORD_STATE;
using velantis::WakeWordErrorPayload;
using velantis::WakeWordEventPayload;
using velantis::WakeWordStatePayload;
