#include "name_patterns.hpp"

#include <algorithm>

namespace brel {

namespace {

// The bytes of the UTF-8 character that text starts with; a byte that starts none stands alone.
std::size_t character_length(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return std::min(length, text.size());
}

unsigned char folded(char byte) {
    const auto value = static_cast<unsigned char>(byte);
    return value >= 'a' && value <= 'z' ? value - ('a' - 'A') : value;
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) { return folded(x) == folded(y); });
}

bool matches_exactly(std::string_view pattern, std::string_view key) {
    // Past a '*', a mismatch goes back to it and lets it take one more character of the key.
    std::size_t p = 0, k = 0, after_star = std::string_view::npos, star_took = 0;
    while (k < key.size()) {
        const std::size_t length = character_length(key.substr(k));
        if (p < pattern.size() && pattern[p] == '*') {
            after_star = ++p;
            star_took = k;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            k += length;
        } else if (same_ignoring_case(pattern.substr(p, length), key.substr(k, length))) {
            // A character's first byte tells its length, so the same bytes are the same character.
            p += length;
            k += length;
        } else if (after_star != std::string_view::npos) {
            p = after_star;
            k = star_took += character_length(key.substr(star_took));
        } else {
            return false;
        }
    }
    return pattern.find_first_not_of('*', p) == std::string_view::npos;
}

}  // namespace

bool has_wildcards(std::string_view text) { return text.find_first_of("*?") != std::string_view::npos; }

bool matches_pattern(std::string_view pattern, std::string_view key) {
    if (matches_exactly(pattern, key)) return true;
    return pattern.ends_with(".*") && key.find('.') == std::string_view::npos &&
           matches_exactly(pattern.substr(0, pattern.size() - 2), key);
}

std::vector<std::string> names_matching(std::string_view pattern, std::vector<listed_name> listed) {
    std::erase_if(listed, [&](const listed_name& file) { return !matches_pattern(pattern, file.key); });
    std::sort(listed.begin(), listed.end(), [](const listed_name& a, const listed_name& b) {
        const auto key_before = [](const std::string& x, const std::string& y) {
            return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(),
                                                [](char c, char d) { return folded(c) < folded(d); });
        };
        if (key_before(a.key, b.key)) return true;
        if (key_before(b.key, a.key)) return false;
        return a.name < b.name;  // std::string compares bytes as unsigned, as UTF-8 needs
    });
    std::vector<std::string> names;
    for (listed_name& file : listed) names.push_back(std::move(file.name));
    return names;
}

}  // namespace brel
