// A text to speak, cut into pieces short enough for the speech library's front end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velantis {

// The text in pieces of at most `piece_bytes` bytes (4 or more: the longest character), in
// order; pieces of nothing but spaces are left out. A piece is the rest of the text when that
// fits; else it ends at the last cut within the limit after sentence punctuation, else after
// clause punctuation, else after a space, else at the last character boundary. ASCII
// punctuation counts only before a space, so that "3.14" or "1,000" stay whole.
std::vector<std::string> splitIntoPieces(std::string_view text, std::size_t piece_bytes);

}  // namespace velantis
