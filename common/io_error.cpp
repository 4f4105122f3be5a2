#include "io_error.hpp"

#include <cerrno>
#include <cstring>

#include "file_system.hpp"

namespace brel {

std::string io_error::reason() const {
    switch (kind_) {
    case kind::none: return "no error";
    case kind::system: return std::strerror(code_);
    case kind::platform: return file_system::describe_platform_error(static_cast<unsigned>(code_));
    case kind::size_changed: return "file changed size while being read";
    case kind::archive_changed: return "the archive changed while being read";
    case kind::unsupported: return std::strerror(ENOTSUP);
    case kind::link_in_path: return "a folder in the path is a link, which is not followed";
    case kind::dangling_link: return "not writing through a symbolic link that leads to no file";
    }
    return "unknown error";
}

io_error last_system_error() { return io_error::system(errno); }

}  // namespace brel
