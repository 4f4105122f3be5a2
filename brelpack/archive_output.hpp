// Where brelpack's archive goes: where a plain create at its path would write, and nowhere else.
// A pipe, terminal or device there (a link to one included) is written into; a file that a standard
// stream appends to is appended to; a regular file (a link to one included) is replaced by a new file
// in its own folder once that is complete, keeping its permissions; a file the user may not write is
// refused, as is a link that leads nowhere.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "file_system.hpp"
#include "image_buffer.hpp"
#include "io_error.hpp"
#include "new_file.hpp"

namespace brel {

// The bytes are filled in memory that is the new file's own pages where the file system can reserve
// room for them, so a full disk or a file-size limit shows at start(); elsewhere in memory of its own,
// written out at finish().
class archive_output {
public:
    archive_output() = default;
    ~archive_output();
    archive_output(const archive_output&) = delete;
    archive_output& operator=(const archive_output&) = delete;

    // Makes `size` zero bytes ready to fill, for the archive at path.
    io_error start(const char* path, std::size_t size);
    std::span<std::byte> bytes() const { return image_.bytes(); }
    // Those bytes are filled: where they are the file's own pages and replace an old archive, they go
    // on to the disk now, so that the flush before the new archive takes the old one's place is short.
    void filled(std::size_t offset, std::size_t length);
    // Puts the bytes where they go.
    io_error finish();
    // Gives up the new file and the memory now, as the destructor would.
    void abandon();

private:
    image_buffer image_;
    int stream_ = -1;  // what the bytes are written into, when no file is replaced
    file_system::folder folder_ = file_system::working_folder();
    new_file file_;
    bool mapped_ = false;
    // The file to be replaced, checked to be an archive (or empty), as it was then.
    std::string checked_path_;
    file_system::file_status checked_;
};

}  // namespace brel
