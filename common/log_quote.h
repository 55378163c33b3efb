// Quoting peer input in log lines: a long text is cut, and the line says how long it was.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/utf8.h"

// At most this many bytes of a peer's text go into one log line.
inline constexpr std::size_t kLogQuoteMax = 1024;

// `text` itself when short; otherwise its first kLogQuoteMax bytes (less the start of a UTF-8
// character they would split) followed by "... (<n> bytes)".
inline std::string logQuote(std::string_view text) {
    if (text.size() <= kLogQuoteMax) {
        return std::string(text);
    }
    std::string out(text.substr(0, velantis::utf8PrefixLength(text, kLogQuoteMax)));
    out += "... (";
    out += std::to_string(text.size());
    out += " bytes)";
    return out;
}
