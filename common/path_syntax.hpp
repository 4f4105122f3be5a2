// How each system splits a path into folders. The output-name rules and the file-system code both go
// by this one definition, so a name is judged part by part as the system will take it apart.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brel {

enum class name_rules {
    posix,    // '/' separates folders
    windows,  // '/', '\' and ':' separate folders; drives, UNC paths, streams and device names exist
};

#ifdef _WIN32
inline constexpr name_rules native_name_rules = name_rules::windows;
#else
inline constexpr name_rules native_name_rules = name_rules::posix;
#endif

// Whether the byte separates folders in a path. On Windows "C:name" lies in the current folder of
// drive C:, so the drive counts as a folder part too.
constexpr bool is_separator(char byte, name_rules rules = native_name_rules) {
    return byte == '/' || (rules == name_rules::windows && (byte == '\\' || byte == ':'));
}

// Where the last part of a path begins: what comes before it is its folder, separator included.
constexpr std::size_t leaf_start(std::string_view path, name_rules rules = native_name_rules) {
    std::size_t start = path.size();
    while (start > 0 && !is_separator(path[start - 1], rules)) --start;
    return start;
}

// Windows' plain form takes a path, made whole, of fewer characters than this (MAX_PATH).
inline constexpr std::size_t windows_plain_path_limit = 260;

// The long form of a whole Windows path too long for the plain form: \\?\C:\... or \\?\UNC\host\share\...,
// which the wide calls take as it stands, of any length. Empty for a path the plain form takes, and for
// one of a device (\\.\) or in the long form already.
inline std::u16string long_path_form(std::u16string_view whole) {
    if (whole.size() < windows_plain_path_limit || whole.starts_with(u"\\\\.\\") || whole.starts_with(u"\\\\?\\")) return {};
    return whole.starts_with(u"\\\\") ? u"\\\\?\\UNC" + std::u16string(whole.substr(1)) : u"\\\\?\\" + std::u16string(whole);
}

}  // namespace brel
