// What the programs are given on the command line, and the names they make of it. On POSIX systems an
// argument is the bytes given, and an archive stores a name as those bytes. On Windows the arguments
// come as UTF-16 and are held as UTF-8, which the file-system calls take; an archive keeps its names
// in the ANSI code page, as other Windows programs read them, and what the programs print is in it too.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "io_error.hpp"

namespace brel::command_line {

// The arguments after the program's name.
std::vector<std::string> arguments(int argc, char** argv);

// A path from the command line as a message shows it: on Windows in the ANSI code page, with '?' for a
// character the code page lacks, never a look-alike.
std::string shown(std::string_view path);

// Adds the paths of the files a brelpack input names. On Windows, whose shells pass wildcards on, '*'
// and '?' in its last part match the files of its folder (folders are not packed), each named as the
// argument was typed with its own name for that part; no match is no_match. Elsewhere the shell has
// done that already, and the argument names itself.
io_error expand(const std::string& argument, std::vector<std::string>& paths);

// The name an input is stored under in an archive: on Windows its ANSI code page bytes, refused with
// not_in_code_page when those can't hold every character exactly.
io_error stored_name(const std::string& path, std::string& stored);
// The path an entry's stored name is written to: on Windows that name read in the ANSI code page.
io_error path_of_stored_name(std::string_view stored, std::string& path);

}  // namespace brel::command_line
