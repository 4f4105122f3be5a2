#include "archive_output.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "archive_format.hpp"
#include "transfers.hpp"

namespace brel {

namespace fs = file_system;

namespace {

// Whether one of this run's standard streams is that file: what the run has printed into it so far is
// not the user's.
bool a_standard_stream(const file_identity& file) {
    for (int stream = 0; stream <= 2; ++stream) {
        const io_result<fs::file_status> status = fs::look_up_open(stream);
        if (status && status->kind == fs::file_status::regular_file && status->identity == file) return true;
    }
    return false;
}

// A file that holds bytes but not an archive is far more likely one of the inputs, named where the archive
// belongs (files dropped onto the program, `brelpack *.tga` without the archive's name where the shell
// expands patterns), than an old archive: it is not replaced. An empty file is taken as made for the
// archive. What is read must be the file that was looked at, never a pipe put at the name meanwhile.
io_error check_replaceable(const char* path, const fs::file_status& target) {
    if (target.size == 0 || a_standard_stream(target.identity)) return {};
    const io_result<fs::owned_file> file = fs::open_for_reading(path, true);
    if (!file) return file.error().is(EACCES) ? io_error::kind::unreadable : file.error();
    const io_result<fs::file_status> opened = fs::look_up_open(file->get());
    if (!opened) return opened.error();
    if (!opened->same_bytes_as(target)) return io_error::kind::name_changed;
    std::byte first[magic.size()];
    std::size_t count = 0;
    if (const io_error error = read_fully(file->get(), 0, first, count)) return error;
    const bool archive = count == sizeof first && std::memcmp(first, magic.data(), sizeof first) == 0;
    return archive ? io_error() : io_error::kind::not_an_archive;
}

}  // namespace

archive_output::~archive_output() { abandon(); }

void archive_output::abandon() {
    stream_.close();
    // Removed in its folder, so before the folder is closed.
    file_.abandon();
}

io_error archive_output::start(const char* path, std::uint64_t size) {
    const io_result<fs::file_status> standing = fs::look_up_in(fs::working_folder(), path);
    if (!standing) return standing.error();
    fs::file_status target;
    std::string location = path;
    if (standing->kind != fs::file_status::nothing) {
        const io_result<fs::file_status> found = fs::look_up(path);
        if (!found) return found.error();
        target = *found;
        if (target.kind == fs::file_status::nothing) return io_error::kind::dangling_link;
        if (target.kind == fs::file_status::folder) return io_error::system(EISDIR);
        // Opened as a plain create would open it, which also asks whether we may write it.
        io_result<fs::owned_file> opened = fs::open_existing_for_writing(path, target, false);
        if (!opened) return opened.error();
        stream_ = std::move(*opened);
        if (target.kind == fs::file_status::regular_file) {
            if (standing->kind == fs::file_status::link && fs::standard_stream_appending_to(target.identity) >= 0) {
                // The shell opened this file for appending (`>> log`) and the path leads to it again, as
                // /dev/stdout does.
                stream_.close();
                opened = fs::open_existing_for_writing(path, target, true);
                if (!opened) return opened.error();
                stream_ = std::move(*opened);
            } else if (target.links == 0) {
                // Only a link such as /dev/stdout leads to a file with no name left: one removed while it
                // stayed open (the shell's `> out.viv` once another program deleted out.viv). There is
                // nothing to replace, so the bytes go into it; through the standard stream that writes
                // there, when one does, so that what that stream writes later comes after them.
                io_result<fs::owned_file> shared = fs::share_standard_stream(target.identity);
                if (!shared) return shared.error();
                if (shared->is_open()) stream_ = std::move(*shared);
            } else {
                stream_.close();
                if (const io_error error = check_replaceable(path, target)) return error;
                checked_path_ = path;
                checked_ = target;
                if (standing->kind == fs::file_status::link) {
                    const io_result<std::string> resolved = fs::resolve_links(path);
                    if (!resolved) return resolved.error();
                    location = *resolved;
                }
            }
        }
        if (stream_.is_open()) return {};
    }

    const std::size_t leaf = leaf_start(location);
    if (leaf == location.size()) return io_error::system(EISDIR);
    io_result<fs::folder> place = fs::open_folder(location.substr(0, leaf));
    if (!place) return place.error();
    folder_ = std::move(*place);
    if (const io_error error = file_.create(folder_, location.substr(leaf), target)) return error;
    // Past the file-size limit, writes fail; the room is not taken then, so that the limit is reported
    // as such rather than as a full disk.
    if (size > fs::file_size_limit()) return io_error::system(EFBIG);
    const io_error reserved = fs::reserve(file_.fd(), size);
    return reserved.what() == io_error::kind::unsupported ? io_error() : reserved;
}

io_error archive_output::write(std::span<const std::byte> bytes) {
    if (bytes.size() <= pending_room - pending_.size()) {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        return {};
    }
    if (const io_error error = flush_pending()) return error;
    return send(bytes);
}

io_error archive_output::flush_pending() {
    if (pending_.empty()) return {};
    if (const io_error error = send(pending_)) return error;
    pending_.clear();
    return {};
}

// Writes the bytes where the archive stands, and starts their way to the disk from there.
io_error archive_output::send(std::span<const std::byte> bytes) {
    if (const io_error error = write_exactly(destination(), bytes)) return error.in_writing();
    if (write_back_early()) fs::start_write_back(destination(), written_, bytes.size());
    written_ += bytes.size();
    return {};
}

io_error archive_output::write_over(std::span<const std::byte> bytes, std::uint64_t offset) {
    if (const io_error error = flush_pending()) return error;
    for (std::size_t done = 0; done < bytes.size();) {
        const std::int64_t count = fs::write_at(file_.fd(), bytes.data() + done, bytes.size() - done, offset + done);
        if (count < 0) {
            if (errno == EINTR) continue;
            return last_system_error();
        }
        done += static_cast<std::size_t>(count);
    }
    return {};
}

io_error archive_output::copy_file(int input, std::uint64_t size) {
    // A small file is read into the bytes waiting to go out, with one byte more asked for, to tell
    // whether it has grown.
    if (size < small_input_size) {
        if (size + 1 > pending_room - pending_.size()) {
            if (const io_error error = flush_pending()) return error;
        }
        const std::size_t start = pending_.size(), wanted = static_cast<std::size_t>(size) + 1;
        pending_.resize(start + wanted);
        std::size_t done = 0;
        const io_error failure = read_fully(input, 0, std::span(pending_).subspan(start), done);
        pending_.resize(start + std::min(done, wanted - 1));
        if (failure) return failure;
        return done == wanted - 1 ? io_error() : io_error::kind::size_changed;
    }
    if (const io_error error = flush_pending()) return error;
    std::uint64_t from = 0, copied = 0;
    const io_error error = copy_exactly(input, &from, destination(), written_, size, write_back_early(), &copied);
    written_ += copied;
    if (error) return error;
    return check_ends_at(input, size);
}

io_error archive_output::copy_stream(int input, std::uint64_t most, std::uint64_t& size) {
    if (const io_error error = flush_pending()) return error;
    const io_error error = copy_to_end(input, destination(), most, size);
    written_ += size;
    return error;
}

io_error archive_output::finish() {
    if (const io_error error = flush_pending()) return error;
    if (stream_.is_open()) return stream_.close();
    // Another program may have written over the old file since it was checked, its times as they were
    // where the file system keeps them coarsely (FAT, exFAT): asked again just before it is replaced.
    if (!checked_path_.empty()) {
        if (const io_error error = check_replaceable(checked_path_.c_str(), checked_)) return error;
    }
    return file_.place();
}

}  // namespace brel
