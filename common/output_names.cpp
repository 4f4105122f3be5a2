#include "output_names.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace brel {

namespace {

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

// Windows drops dots and blanks at the end of a folder or file name, so "..", ".. " and "..." all
// lead to the parent folder or nowhere; only "." is harmless.
bool climbs(std::string_view part, name_rules rules) {
    if (rules == name_rules::posix) return part == "..";
    return part != "." && !part.empty() && part.find_first_not_of(". ") == std::string_view::npos;
}

// CON, PRN, AUX, NUL, the console's own CONIN$ and CONOUT$, COM1-9 and LPT1-9 name devices, with any
// extension and trailing blanks. So do COM and LPT with a superscript 1, 2 or 3, which the Western
// code page holds as the bytes B9, B2 and B3.
bool is_device_name(std::string_view part) {
    std::string_view stem = part.substr(0, part.find('.'));
    stem = stem.substr(0, stem.find_last_not_of(' ') + 1);
    static constexpr std::array<std::string_view, 6> plain = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (std::any_of(plain.begin(), plain.end(), [&](std::string_view device) { return equal_ignoring_case(stem, device); })) {
        return true;
    }
    return stem.size() == 4 && (equal_ignoring_case(stem.substr(0, 3), "COM") || equal_ignoring_case(stem.substr(0, 3), "LPT")) &&
           ((stem[3] >= '1' && stem[3] <= '9') || stem[3] == '\xB9' || stem[3] == '\xB2' || stem[3] == '\xB3');
}

}  // namespace

const char* refuse_output_name(std::string_view name, name_rules rules) {
    if (name.empty()) return "the name is empty";
    // A colon is never part of a file name on Windows: "C:x" is on drive C:, "a:b" is stream b of file a.
    if (rules == name_rules::windows && name.find(':') != std::string_view::npos) {
        return "a name with a colon would name a drive or a stream on Windows";
    }
    if (is_separator(name.front(), rules)) return "an absolute name would be written outside the working folder";
    for (std::size_t start = 0; start <= name.size();) {
        std::size_t end = start;
        while (end < name.size() && !is_separator(name[end], rules)) ++end;
        const std::string_view part = name.substr(start, end - start);
        if (climbs(part, rules)) return "a name with a \"..\" part could be written outside the working folder";
        if (rules == name_rules::windows && is_device_name(part)) return "the name is that of a device";
        start = end + 1;
    }
    return nullptr;
}

}  // namespace brel
