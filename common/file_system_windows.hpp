// What the Windows files share of the file-system code: names are held as UTF-8 and given to the
// system's wide calls as UTF-16.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "io_error.hpp"

namespace brel::file_system {

std::wstring wide(std::string_view text);
std::string from_wide(std::wstring_view text);

// The path as the wide calls take it. One too long for the plain form is made whole and given in the
// long form (long_path_form), which takes names of any length; any other is left as it is, so that
// device names such as NUL and CON, and short paths, are taken as they always were.
std::wstring system_path(std::string_view path);

// A Windows error as the errno value the portable code asks about, where it has one.
io_error from_windows(DWORD error);
io_error last_windows_error();

}  // namespace brel::file_system
