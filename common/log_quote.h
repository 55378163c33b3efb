// Quoting peer input in log lines: a long text is cut, and the line says how long it was.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// At most this many bytes of a peer's text go into one log line.
inline constexpr std::size_t kLogQuoteMax = 1024;

// `text` itself when short; otherwise its first kLogQuoteMax bytes (cut back to the start of
// a UTF-8 sequence) followed by "... (<n> bytes)".
inline std::string logQuote(std::string_view text) {
    if (text.size() <= kLogQuoteMax) {
        return std::string(text);
    }
    std::size_t cut = kLogQuoteMax;
    // Step back over continuation bytes (10xxxxxx), at most three, so no character is split.
    for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++i) {
        --cut;
    }
    std::string out(text.substr(0, cut));
    out += "... (";
    out += std::to_string(text.size());
    out += " bytes)";
    return out;
}
