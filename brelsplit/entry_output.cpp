#include "entry_output.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "new_file.hpp"
#include "stop_signals.hpp"
#include "transfers.hpp"

namespace brel {

namespace fs = file_system;

io_error entry_writer::enter_folder(std::string_view folder_part) {
    if (entered_ && folder_part == folder_part_) return {};
    leave_folders();
    // One folder at a time from the working folder down, none of them a link: what a link leads to
    // could be outside the working folder, and a folder once open stays the one that was checked.
    std::size_t start = 0;
    while (start < folder_part.size()) {
        std::size_t end = start;
        while (end < folder_part.size() && !is_separator(folder_part[end])) ++end;
        if (end > start) {
            std::string name(folder_part.substr(start, end - start));
            io_result<fs::folder> inner = fs::open_folder_inside(folder(), name);
            io_error error = inner.error();
            if (inner) {
                levels_.push_back({std::move(*inner), std::move(name), {}});
                const io_result<file_identity> identity = fs::folder_identity(levels_.back().folder);
                if (identity) levels_.back().identity = *identity;
                else error = identity.error();
            }
            if (error) {
                leave_folders();
                return error.is(ENOENT) ? io_error::kind::folder_missing : error;
            }
        }
        start = end + 1;
    }
    // The last folder's identity is known already unless it is the working folder.
    file_identity identity = levels_.empty() ? file_identity{} : levels_.back().identity;
    if (levels_.empty()) {
        const io_result<file_identity> working = fs::folder_identity(folder());
        if (!working) return working.error();
        identity = *working;
    }
    folder_part_ = folder_part;
    entered_ = true;
    device_ = identity.device;
    in_place_limit_ = fs::in_place_limit(folder());
    return {};
}

void entry_writer::leave_folders() {
    levels_.clear();
    entered_ = false;
}

io_error entry_writer::folders_in_place() {
    for (std::size_t i = 0; i < levels_.size(); ++i) {
        const fs::folder& above = i == 0 ? working_folder_ : levels_[i - 1].folder;
        const io_result<fs::file_status> standing = fs::look_up_in(above, levels_[i].name.c_str());
        if (!standing || standing->kind != fs::file_status::folder || standing->identity != levels_[i].identity) {
            // What was opened is elsewhere now: nothing more goes into it, and the next entry looks anew.
            entered_ = false;
            return io_error::kind::folder_moved;
        }
    }
    return {};
}

io_error entry_writer::write(std::string_view name, const directory_entry& entry) {
    const std::size_t leaf_at = leaf_start(name);
    if (const io_error error = enter_folder(name.substr(0, leaf_at))) return error;
    const std::string leaf(name.substr(leaf_at));
    if (leaf.empty()) return io_error::system(EISDIR);  // as a plain create of "folder/" says

    const io_result<fs::file_status> looked_at = fs::look_up_in(folder(), leaf.c_str());
    if (!looked_at) return looked_at.error();
    const fs::file_status& standing = *looked_at;
    if (standing.kind == fs::file_status::folder) return io_error::system(EISDIR);
    if (const std::optional<io_error> rewritten = rewrite_in_place(leaf, standing, entry)) return *rewritten;
    // A regular file or a named pipe is replaced only where a plain create could have opened it.
    if (standing.kind == fs::file_status::regular_file || standing.kind == fs::file_status::pipe) {
        // A stop waits: should the name be gone by now, the check makes a file there, and removes it.
        stop_signals::hold checking;
        if (const io_error refused = fs::check_writable(folder(), leaf.c_str(), standing)) return refused;
    }
    return replace(leaf, standing, entry);
}

io_error entry_writer::replace(const std::string& leaf, const fs::file_status& standing, const directory_entry& entry) {
    new_file file;
    if (const io_error error = file.create(folder(), leaf, standing)) return error;
    if (const io_error error = archive_.copy(entry, file.fd(), file.replacing())) return error;
    // Bytes read from a part of the archive that was cut away and grown back meanwhile would be new ones.
    if (!archive_.still_whole()) return io_error::kind::archive_changed;
    if (const io_error error = folders_in_place()) return error;
    if (const io_error error = file.place()) return error;
    archive_.name_replaced(standing.identity);
    return {};
}

// Whether the file at `leaf` is the one opened, with no other name.
bool entry_writer::still_alone_at(const std::string& leaf, const fs::file_status& opened) const {
    const io_result<fs::file_status> standing = fs::look_up_in(folder(), leaf.c_str());
    return standing && standing->kind == fs::file_status::regular_file && standing->identity == opened.identity &&
           standing->links == 1;
}

// A small file that already holds as many bytes, with no other name (its other names would see the
// new bytes), on a file system that writes it where it stands, is written over with one write. Never
// the archive, though an entry may be the whole of it: even the same bytes written over it move its
// times, as another program's write does. The old bytes are read first, to put back
// should that write fail part-way, and a stop waits for the write. Nothing when the file is not such a
// file; it is then replaced.
std::optional<io_error> entry_writer::rewrite_in_place(const std::string& leaf, const fs::file_status& standing,
                                                       const directory_entry& entry) {
    const std::size_t size = entry.data_size;
    const auto fits = [&](const fs::file_status& status) {
        return status.kind == fs::file_status::regular_file && status.size == size && size <= in_place_limit_ &&
               status.links == 1 && status.identity.device == device_ && !archive_.is_archive(status.identity) &&
               // Past the file-size limit the one write would stop part-way, the file part old, part new.
               size <= fs::file_size_limit();
    };
    if (!fits(standing)) return std::nullopt;
    // A file that can't be opened so is replaced, or refused there if we may not write it; one no longer
    // at the name is not asked about again.
    io_result<fs::owned_file> file = [&] {
        stop_signals::hold opening;  // as for check_writable
        return fs::open_for_rewrite(folder(), leaf.c_str(), standing);
    }();
    if (!file) {
        if (file.error().what() != io_error::kind::name_changed) return std::nullopt;
        return file.error();
    }
    const int fd = file->get();
    const io_result<fs::file_status> opened = fs::look_up_open(fd);
    std::array<std::byte, fs::largest_in_place_rewrite> fresh, old;
    if (!opened || !fits(*opened) || fs::read_at(fd, old.data(), size, 0) != static_cast<std::int64_t>(size)) {
        return std::nullopt;
    }
    // The entry's bytes are taken from the archive once, here, where the file is certain to be written.
    if (const io_error error = archive_.read(entry, std::span(fresh).first(size))) return error;
    if (!archive_.still_whole()) return io_error(io_error::kind::archive_changed);
    if (const io_error error = folders_in_place()) return error;
    io_error error;
    {
        stop_signals::hold whole_write;
        // One call writes it all; a second is made only when the first stopped short, to learn why.
        std::size_t done = 0;
        while (done < size && !error) {
            const std::int64_t written = fs::write_at(fd, fresh.data() + done, size - done, done);
            if (written > 0) done += static_cast<std::size_t>(written);
            else if (written == 0) error = io_error::system(ENOSPC);
            else if (errno != EINTR) error = last_system_error();
        }
        // Another program may have taken the file from its name meanwhile (removed it, put another file
        // there, given it a second name, whose bytes must stay the old ones): then the entry is not written
        // there, and the file gets its old bytes back.
        if (!error && !still_alone_at(leaf, *opened)) error = io_error::kind::name_changed;
        // Putting the old bytes back is a write too, and may fail as well: then say so.
        if (error && done > 0 && fs::write_at(fd, old.data(), done, 0) != static_cast<std::int64_t>(done)) {
            error = io_error::torn_by(error);
        }
    }
    const io_error closed = file->close();
    if (!error) error = closed;
    return error;
}

}  // namespace brel
