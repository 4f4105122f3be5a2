#include "unicode_text.hpp"

namespace brel {

namespace {

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string utf8_from_utf16(std::u16string_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (is_high_surrogate(code) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        const int trailing = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        static constexpr unsigned char lead_bits[] = {0x00, 0xC0, 0xE0, 0xF0};
        utf8 += static_cast<char>(lead_bits[trailing] | (code >> (6 * trailing)));
        for (int shift = 6 * (trailing - 1); shift >= 0; shift -= 6) {
            utf8 += static_cast<char>(0x80 | ((code >> shift) & 0x3F));
        }
    }
    return utf8;
}

std::u16string utf16_from_utf8(std::string_view text) {
    std::u16string utf16;
    utf16.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned char lead = byte(i);
        // C0, C1 and F5 to FF start no character; the shortest form is checked below.
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
        static constexpr char32_t lead_mask[] = {0, 0x7F, 0x1F, 0x0F, 0x07}, least[] = {0, 0, 0x80, 0x800, 0x10000};
        char32_t code = lead & lead_mask[length];
        std::size_t taken = 1;
        while (taken < length && i + taken < text.size() && (byte(i + taken) & 0xC0) == 0x80) {
            code = code << 6 | (byte(i + taken++) & 0x3F);
        }
        if (length == 0 || taken < length || code < least[length] || code > 0x10FFFF) {
            utf16 += u'\uFFFD';
            ++i;
            continue;
        }
        i += length;
        if (code < 0x10000) {
            utf16 += static_cast<char16_t>(code);
        } else {
            utf16 += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            utf16 += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
    }
    return utf16;
}

}  // namespace brel
