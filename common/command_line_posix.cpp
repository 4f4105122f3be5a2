// The command line on POSIX systems: bytes throughout, as the shell gives them, its wildcards expanded.
#include "command_line.hpp"

namespace brel::command_line {

std::vector<std::string> arguments(int argc, char** argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

std::string shown(std::string_view path) { return std::string(path); }

io_error expand(const std::string& argument, std::vector<std::string>& paths) {
    paths.push_back(argument);
    return {};
}

io_error stored_name(const std::string& path, std::string& stored) {
    stored = path;
    return {};
}

io_error path_of_stored_name(std::string_view stored, std::string& path) {
    path = stored;
    return {};
}

}  // namespace brel::command_line
