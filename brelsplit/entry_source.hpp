// What writing an entry out needs of the archive it comes from: the entry's bytes, and the checks that
// tell whether they can be trusted and which file must never be written over in place.
#pragma once

#include <cstddef>
#include <span>

#include "archive_format.hpp"
#include "file_system.hpp"
#include "io_error.hpp"

namespace brel {

class entry_source {
public:
    // Copies the entry's bytes into `file` at its position, or reads them into `into`, as long as they are.
    virtual io_error copy(const directory_entry& entry, int file, bool write_back_early) = 0;
    virtual io_error read(const directory_entry& entry, std::span<std::byte> into) = 0;
    // Whether the bytes taken so far are the archive's: no other program has changed it since it was opened.
    virtual bool still_whole() const = 0;
    // Whether that is the archive's own file.
    virtual bool is_archive(const file_identity& file) const = 0;
    // A name of the archive's file was just replaced by this program (an entry named after it): that
    // changes the file's status, not its bytes.
    virtual void name_replaced(const file_identity& replaced) = 0;

protected:
    ~entry_source() = default;
};

}  // namespace brel
