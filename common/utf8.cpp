#include "common/utf8.h"

namespace velantis {

namespace {

bool isContinuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

Utf8Sequence utf8SequenceAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return {1, true};
    std::size_t follow = 0;
    unsigned char lo = 0x80;  // range of the byte after the lead
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        follow = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        follow = 2;
        if (lead == 0xE0) lo = 0xA0;  // overlong
        if (lead == 0xED) hi = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        follow = 3;
        if (lead == 0xF0) lo = 0x90;  // overlong
        if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return {1, false};
    }
    for (std::size_t k = 1; k <= follow; ++k) {
        if (at + k >= text.size()) return {k, false};
        const auto byte = static_cast<unsigned char>(text[at + k]);
        if (byte < lo || byte > hi) return {k, false};
        lo = 0x80;
        hi = 0xBF;
    }
    return {follow + 1, true};
}

std::size_t replaceInvalidUtf8(std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t replaced = 0;
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Sequence sequence = utf8SequenceAt(text, at);
        if (sequence.valid) {
            out.append(text, at, sequence.length);
        } else {
            out += "\xEF\xBF\xBD";
            replaced += sequence.length;
        }
        at += sequence.length;
    }
    if (replaced > 0) text.swap(out);
    return replaced;
}

std::size_t utf8PrefixLength(std::string_view text, std::size_t max) {
    if (text.size() <= max) return text.size();
    std::size_t cut = max;
    for (int i = 0; i < 3 && cut > 0 && isContinuation(text[cut]); ++i) --cut;
    return cut;
}

}  // namespace velantis
