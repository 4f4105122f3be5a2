#include "io_error.hpp"

#include <cerrno>
#include <cstring>

namespace brel {

std::string io_error::reason() const {
    switch (kind_) {
    case kind::none: return "no error";
    case kind::system: return std::strerror(code_);
    case kind::platform: return describe_platform_error(static_cast<unsigned>(code_));
    case kind::size_changed: return "file changed size while being read";
    case kind::archive_changed: return "the archive changed while being read";
    case kind::unsupported: return std::strerror(ENOTSUP);
    case kind::link_in_path: return "a folder in the path is a link, which is not followed";
    case kind::dangling_link: return "not writing through a symbolic link that leads to no file";
    case kind::name_changed: return "another program put something else at this name meanwhile; it is left as it is";
    case kind::no_memory:
        return "could not get " + std::to_string(bytes_) + " bytes of memory for the archive: " + std::strerror(ENOMEM);
    case kind::out_of_memory: return std::string("could not get memory to go on: ") + std::strerror(ENOMEM);
    case kind::too_large: return "larger than any archive can be (4294967295 bytes)";
    case kind::folder_moved: return "a folder of the name was moved or replaced meanwhile; nothing was written there";
    case kind::past_the_end: return "the archive ended before this entry's data";
    case kind::not_an_archive: return "not replaced: it is not a VIV archive";
    case kind::unreadable: return "not replaced: it can't be read to tell whether it is a VIV archive";
    // Said of the folder, which the message names before it.
    case kind::folder_missing: return "does not exist, and brelsplit does not create folders";
    case kind::not_in_code_page: return "the name has characters the archive's code page can't hold";
    case kind::no_match: return "no file matches this pattern";
    case kind::wildcard_folder: return "only the last part of a path may hold the wildcards * and ?";
    case kind::torn:
        return io_error(cause_, code_).reason() + ", and the old bytes could not be put back: the file holds part old, part new bytes";
    }
    return "unknown error";
}

io_error last_system_error() { return io_error::system(errno); }

}  // namespace brel
