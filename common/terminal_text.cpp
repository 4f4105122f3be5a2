#include "terminal_text.hpp"

namespace brel {

namespace {

// The length of the well-formed UTF-8 character of two bytes or more that text starts with (no overlong
// form, no surrogate, nothing past U+10FFFF), or 0 when it starts with none.
std::size_t utf8_length(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // what the second byte may be
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0 || text.size() < length || at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string without_terminal_controls(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t start = 0; start < text.size();) {
        const auto lead = static_cast<unsigned char>(text[start]);
        if (const std::size_t length = utf8_length(text.substr(start))) {
            // C2 80 to C2 9F are the C1 controls, U+0080 to U+009F.
            const bool control = lead == 0xC2 && static_cast<unsigned char>(text[start + 1]) <= 0x9F;
            shown += control ? std::string_view("?") : text.substr(start, length);
            start += length;
            continue;
        }
        // A byte on its own: the C0 controls, DEL, and the C1 controls of 8-bit character sets, which
        // many terminals act on in UTF-8 as well (0x9B starts a command like ESC [). Any other byte that
        // is not UTF-8 goes out as it is: it is a letter in 8-bit sets, and a UTF-8 terminal shows it
        // as one unknown character.
        const bool control = lead < 0x20 || lead == 0x7F || (lead >= 0x80 && lead <= 0x9F);
        shown += control ? '?' : text[start];
        ++start;
    }
    return shown;
}

std::string key_echo(std::string_view key) {
    std::string echo;
    for (const char byte : key) {
        if (static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F) {
            echo += '^';
            echo += static_cast<char>(byte ^ 0x40);
        } else {
            echo += byte;
        }
    }
    return echo;
}

}  // namespace brel
