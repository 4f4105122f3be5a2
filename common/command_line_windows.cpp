// The command line on Windows: the system's UTF-16 arguments, held as UTF-8; names stored and shown in
// the ANSI code page; wildcards expanded here, since no shell does.
#include <windows.h>
#include <shellapi.h>

#include <new>

#include "command_line.hpp"
#include "file_system_windows.hpp"
#include "name_patterns.hpp"
#include "path_syntax.hpp"

namespace brel::command_line {

namespace {

namespace fs = file_system;

bool from_code_page(std::string_view bytes, std::wstring& text) {
    text.clear();
    if (bytes.empty()) return true;
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    text.resize(static_cast<std::size_t>(length));
    return length > 0 && MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), size, text.data(), length) == length;
}

// The text in the ANSI code page, '?' for each character it lacks, never a look-alike (best fit would
// make "out.viv" of a fullwidth "ｏut.viv", "sub\k.txt" of "sub＼k.txt"). Whether it holds every
// character exactly.
bool to_code_page(std::string_view utf8, std::string& bytes) {
    const std::wstring text = fs::wide(utf8);
    bytes.clear();
    if (text.empty()) return true;
    // The UTF-8 code page takes neither the flag nor a character in place of those it lacks.
    const bool utf8_page = GetACP() == CP_UTF8;
    const DWORD flags = utf8_page ? 0 : WC_NO_BEST_FIT_CHARS;
    const char* lacking = utf8_page ? nullptr : "?";
    const int size = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_ACP, flags, text.data(), size, nullptr, 0, lacking, nullptr);
    bytes.resize(static_cast<std::size_t>(length));
    if (length > 0) WideCharToMultiByte(CP_ACP, flags, text.data(), size, bytes.data(), length, lacking, nullptr);
    // What does not read back as the same text was not held: a '?' put in, a lone surrogate.
    std::wstring back;
    return from_code_page(bytes, back) && back == text;
}

}  // namespace

// The C runtime's argv is in the ANSI code page, with a look-alike or '?' for each character it lacks,
// and would name another file. CommandLineToArgvW splits the command line as the runtime does.
std::vector<std::string> arguments(int, char**) {
    int count = 0;
    wchar_t** given = CommandLineToArgvW(GetCommandLineW(), &count);
    if (given == nullptr) throw std::bad_alloc();
    std::vector<std::string> held;
    for (int i = 1; i < count; ++i) held.push_back(fs::from_wide(given[i]));
    LocalFree(given);
    return held;
}

std::string shown(std::string_view path) {
    std::string bytes;
    to_code_page(path, bytes);
    return bytes;
}

io_error expand(const std::string& argument, std::vector<std::string>& paths) {
    // The '?' of the long form \\?\ is no wildcard.
    const std::string_view typed = std::string_view(argument).substr(argument.starts_with("\\\\?\\") ? 4 : 0);
    const std::size_t leaf = leaf_start(typed);
    if (!has_wildcards(typed)) {
        paths.push_back(argument);
        return {};
    }
    if (has_wildcards(typed.substr(0, leaf))) return io_error::kind::wildcard_folder;
    const std::string folder = argument.substr(0, argument.size() - (typed.size() - leaf));
    const auto key_of = [](std::wstring name) {
        CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
        return fs::from_wide(name);
    };
    // Every name in the folder is listed and matched here: the system's own matching also tries a
    // file's short 8.3 name, by which "*.tga" would take "car.tgax" (CAR~1.TGA). Only long names are asked for.
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW(fs::system_path(folder + "*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? io_error::kind::no_match : fs::last_windows_error();
    }
    std::vector<listed_name> listed;
    do {
        // Folders are not packed: ".", ".." and a link to a folder are folders too. Hidden and system
        // files (Thumbs.db, desktop.ini) are passed over, as dir and copy pass them over; named, they pack.
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0) {
            listed.push_back({fs::from_wide(found.cFileName), key_of(found.cFileName)});
        }
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) return fs::from_windows(error);
    const std::vector<std::string> names = names_matching(key_of(fs::wide(typed.substr(leaf))), std::move(listed));
    if (names.empty()) return io_error::kind::no_match;
    for (const std::string& name : names) paths.push_back(folder + name);
    return {};
}

io_error stored_name(const std::string& path, std::string& stored) {
    return to_code_page(path, stored) ? io_error() : io_error::kind::not_in_code_page;
}

io_error path_of_stored_name(std::string_view stored, std::string& path) {
    std::wstring text;
    if (!from_code_page(stored, text)) return fs::last_windows_error();
    path = fs::from_wide(text);
    return {};
}

}  // namespace brel::command_line
