#include "agent_service/tts_text.h"

#include <algorithm>
#include <initializer_list>

#include "common/utf8.h"

namespace velantis {

namespace {

bool oneOf(std::string_view c, std::initializer_list<std::string_view> set) {
    return std::find(set.begin(), set.end(), c) != set.end();
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Where the piece that begins at `start` ends.
std::size_t pieceEnd(std::string_view text, std::size_t start, std::size_t piece_bytes) {
    const std::size_t limit = start + piece_bytes;
    if (text.size() <= limit) return text.size();
    std::size_t sentence = 0, clause = 0, space = 0, at = start;
    for (;;) {
        const std::size_t next = at + utf8SequenceAt(text, at).length;
        if (next > limit) break;
        const std::string_view c = text.substr(at, next - at);
        const bool spaced = isSpace(text[next]);  // next <= limit < size
        if (oneOf(c, {"\u3002", "\uFF01", "\uFF1F", "\u2026"}) || (spaced && oneOf(c, {".", "!", "?"}))) {
            sentence = next;
        } else if (oneOf(c, {"\uFF0C", "\uFF1B", "\uFF1A", "\u3001", "\u2014"}) ||
                   (spaced && oneOf(c, {",", ";", ":"}))) {
            clause = next;
        } else if (isSpace(c[0])) {
            space = next;
        }
        at = next;
    }
    for (std::size_t cut : {sentence, clause, space}) {
        if (cut > start) return cut;
    }
    return at;
}

}  // namespace

std::vector<std::string> splitIntoPieces(std::string_view text, std::size_t piece_bytes) {
    std::vector<std::string> pieces;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = pieceEnd(text, start, piece_bytes);
        const std::string_view piece = text.substr(start, end - start);
        if (!std::all_of(piece.begin(), piece.end(), isSpace)) pieces.emplace_back(piece);
        start = end;
    }
    return pieces;
}

}  // namespace velantis
