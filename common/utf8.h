// UTF-8 in peers' text: well-formed sequences, their repair, and cuts that keep characters
// whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velantis {

// The sequence that begins at text[at], at < text.size().
struct Utf8Sequence {
    std::size_t length;  // bytes of the character, or of the invalid part that one U+FFFD replaces
    bool valid;
};

// An invalid sequence is cut to its longest start that could still begin a well-formed
// character (at least its first byte): no overlong forms, no surrogates, nothing above
// U+10FFFF.
Utf8Sequence utf8SequenceAt(std::string_view text, std::size_t at);

// Replaces each invalid sequence with U+FFFD; returns the number of bytes replaced.
std::size_t replaceInvalidUtf8(std::string& text);

// Length of the longest start of `text` of at most `max` bytes that does not split a
// character: `max` stepped back over at most three continuation bytes (10xxxxxx).
std::size_t utf8PrefixLength(std::string_view text, std::size_t max);

}  // namespace velantis
