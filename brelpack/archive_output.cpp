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

// What stands at the archive's path, as far as looking tells: nothing is opened.
struct standing_target {
    enum class kind {
        nothing,         // the name is free
        replaced_file,   // a regular file (a link to one included), replaced by a new one
        stream,          // a pipe, a terminal or a device (a link to one included), written into
        appended_file,   // a regular file that a standard stream appends to, named again through a link
        nameless_file,   // a regular file with no name left, reached through a link, written into
    } what = kind::nothing;
    fs::file_status status;     // the file the path leads to
    bool through_link = false;  // whether the path itself is a link
};

io_result<standing_target> classify(const char* path) {
    using kind = standing_target::kind;
    const io_result<fs::file_status> standing = fs::look_up_in(fs::working_folder(), path);
    if (!standing) return standing.error();
    if (standing->kind == fs::file_status::nothing) return standing_target{};
    const io_result<fs::file_status> target = fs::look_up(path);
    if (!target) return target.error();
    if (target->kind == fs::file_status::nothing) return io_error::kind::dangling_link;
    if (target->kind == fs::file_status::folder) return io_error::system(EISDIR);
    const bool through_link = standing->kind == fs::file_status::link;
    kind what = kind::stream;
    if (target->kind == fs::file_status::regular_file) {
        // The shell opened this file for appending (`>> log`) and the path leads to it again, as
        // /dev/stdout does.
        if (through_link && fs::standard_stream_appending_to(target->identity) >= 0) what = kind::appended_file;
        // Only a link such as /dev/stdout leads to a file with no name left: one removed while it stayed
        // open (the shell's `> out.viv` once another program deleted out.viv).
        else if (target->links == 0) what = kind::nameless_file;
        else what = kind::replaced_file;
    }
    return standing_target{what, *target, through_link};
}

}  // namespace

void archive_output::abandon() {
    // A new file goes before its folder, as new_file_destination holds them.
    destination_.emplace<std::monostate>();
}

int archive_output::destination() const {
    if (const auto* streamed = std::get_if<streamed_destination>(&destination_)) return streamed->stream.get();
    if (const auto* made = std::get_if<new_file_destination>(&destination_)) return made->file.fd();
    return -1;
}

bool archive_output::write_back_early() const {
    const auto* made = std::get_if<new_file_destination>(&destination_);
    return made != nullptr && made->file.replacing();
}

io_error archive_output::start(const char* path, std::uint64_t size) {
    using kind = standing_target::kind;
    const io_result<standing_target> target = classify(path);
    if (!target) return target.error();
    if (target->what == kind::nothing) return start_new_file(path, target->status, size);
    // Opened as a plain create would open it, which also asks whether we may write it.
    io_result<fs::owned_file> opened = fs::open_existing_for_writing(path, target->status, false);
    if (!opened) return opened.error();
    switch (target->what) {
    case kind::nothing:
    case kind::stream:
        break;
    case kind::appended_file:
        opened->close();
        opened = fs::open_existing_for_writing(path, target->status, true);
        if (!opened) return opened.error();
        break;
    case kind::nameless_file: {
        // There is nothing to replace, so the bytes go into it; through the standard stream that writes
        // there, when one does, so that what that stream writes later comes after them.
        io_result<fs::owned_file> shared = fs::share_standard_stream(target->status.identity);
        if (!shared) return shared.error();
        if (shared->is_open()) *opened = std::move(*shared);
        break;
    }
    case kind::replaced_file: {
        opened->close();
        if (const io_error error = check_replaceable(path, target->status)) return error;
        if (!target->through_link) return start_new_file(path, target->status, size, path);
        const io_result<std::string> location = fs::resolve_links(path);
        if (!location) return location.error();
        return start_new_file(*location, target->status, size, path);
    }
    }
    destination_.emplace<streamed_destination>(std::move(*opened));
    return {};
}

// A new file in the folder of `location`, to take its name; `replaced` is what stands there now, checked
// to be an archive through `checked_path` (unless that is empty).
io_error archive_output::start_new_file(const std::string& location, const fs::file_status& replaced, std::uint64_t size,
                                        std::string checked_path) {
    const std::size_t leaf = leaf_start(location);
    if (leaf == location.size()) return io_error::system(EISDIR);
    io_result<fs::folder> place = fs::open_folder(location.substr(0, leaf));
    if (!place) return place.error();
    new_file_destination& made = destination_.emplace<new_file_destination>(std::move(*place));
    made.checked_path = std::move(checked_path);
    if (const io_error error = made.file.create(made.place, location.substr(leaf), replaced)) return error;
    // Past the file-size limit, writes fail; the room is not taken then, so that the limit is reported
    // as such rather than as a full disk.
    if (size > fs::file_size_limit()) return io_error::system(EFBIG);
    const io_error reserved = fs::reserve(made.file.fd(), size);
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
        const std::int64_t count = fs::write_at(destination(), bytes.data() + done, bytes.size() - done, offset + done);
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
    if (auto* streamed = std::get_if<streamed_destination>(&destination_)) return streamed->stream.close();
    // Another program may have written over the old file since it was checked, its times as they were
    // where the file system keeps them coarsely (FAT, exFAT): asked again just before it is replaced.
    new_file_destination& made = std::get<new_file_destination>(destination_);
    if (!made.checked_path.empty()) {
        if (const io_error error = check_replaceable(made.checked_path.c_str(), made.file.replaced())) return error;
    }
    return made.file.place();
}

}  // namespace brel
