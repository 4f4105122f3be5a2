// Writing an entry out as a file: every output is either as it was or whole and new, whatever stops
// the run, and nothing is written through a link in a folder of its name.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "entry_source.hpp"
#include "file_system.hpp"
#include "io_error.hpp"

namespace brel {

// A small file that already holds as many bytes as the entry is written over where it stands, with one
// write, where the file system allows (see file_system::in_place_limit): a new file, its flush and a
// rename cost many times that. Anything else is replaced.
class entry_writer {
public:
    explicit entry_writer(entry_source& archive) : archive_(archive) {}
    ~entry_writer() { leave_folders(); }
    entry_writer(const entry_writer&) = delete;
    entry_writer& operator=(const entry_writer&) = delete;

    // Writes the entry's bytes, which lie inside the archive, as the file `name`, relative to the working
    // folder, whose folders must exist.
    io_error write(std::string_view name, const directory_entry& entry);

private:
    // A folder on the way to an output, open, with its name in the one above and what it was when opened.
    struct level {
        file_system::folder folder;
        std::string name;
        file_identity identity;
    };

    io_error enter_folder(std::string_view folder_part);
    void leave_folders();
    const file_system::folder& folder() const { return levels_.empty() ? working_folder_ : levels_.back().folder; }
    // Whether every folder on the way is still at its name, the one that was opened: another program
    // may have moved one away (out of the working folder, say) since.
    io_error folders_in_place();
    io_error replace(const std::string& leaf, const file_system::file_status& standing, const directory_entry& entry);
    // Nothing when the file is not one written over where it stands (it is replaced); else how that went.
    std::optional<io_error> rewrite_in_place(const std::string& leaf, const file_system::file_status& standing,
                                             const directory_entry& entry);
    bool still_alone_at(const std::string& leaf, const file_system::file_status& opened) const;

    entry_source& archive_;  // where every entry's bytes come from
    // The folders the last entry went to; entries of one folder usually follow each other.
    std::string folder_part_;
    const file_system::folder working_folder_ = file_system::working_folder();
    std::vector<level> levels_;
    bool entered_ = false;
    // Of the last folder: the largest file written over where it stands, and the device it is on (a
    // file mounted over a name there is on another, whose kind is not known).
    std::size_t in_place_limit_ = 0;
    std::uint64_t device_ = 0;
};

}  // namespace brel
