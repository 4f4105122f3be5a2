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

// A file that holds bytes but not an archive is far more likely one of the inputs, named where the archive
// belongs (files dropped onto the program, `brelpack *.tga` without the archive's name), than an old
// archive: it is not replaced. An empty file is taken as made for the archive.
io_error check_replaceable(const char* path, const fs::file_status& target) {
    if (target.size == 0) return {};
    fs::owned_file file;
    if (const io_error error = fs::open_for_reading(path, file.fd)) return error;
    std::byte first[magic.size()];
    const std::int64_t count = fs::read_at(file.fd, first, sizeof first, 0);
    if (count < 0) return last_system_error();
    const bool archive = static_cast<std::size_t>(count) == sizeof first &&
                         std::memcmp(first, magic.data(), sizeof first) == 0;
    return archive ? io_error() : io_error::kind::not_an_archive;
}

}  // namespace

archive_output::~archive_output() {
    abandon();
    fs::close_folder(folder_);
}

void archive_output::abandon() {
    image_ = image_buffer();
    if (stream_ >= 0) fs::close_file(std::exchange(stream_, -1));
    // Removed in its folder, so before the folder is closed.
    file_.abandon();
}

io_error archive_output::start(const char* path, std::size_t size) {
    fs::report_oversized_writes();
    fs::file_status standing, target;
    if (const io_error error = fs::look_up_in(fs::working_folder(), path, standing)) return error;
    std::string location = path;
    if (standing.kind != fs::file_status::nothing) {
        if (const io_error error = fs::look_up(path, target)) return error;
        if (target.kind == fs::file_status::nothing) return io_error::kind::dangling_link;
        if (target.kind == fs::file_status::folder) return io_error::system(EISDIR);
        // Opened as a plain create would open it, which also asks whether we may write it.
        if (const io_error error = fs::open_existing_for_writing(path, target, stream_, false)) return error;
        if (target.kind == fs::file_status::regular_file) {
            if (standing.kind == fs::file_status::link && fs::standard_stream_appending_to(target.identity) >= 0) {
                // The shell opened this file for appending (`>> log`) and the path leads to it again, as
                // /dev/stdout does.
                fs::close_file(std::exchange(stream_, -1));
                const io_error error = fs::open_existing_for_writing(path, target, stream_, true);
                if (error) return error;
            } else if (target.links == 0) {
                // Only a link such as /dev/stdout leads to a file with no name left: one removed while it
                // stayed open (the shell's `> out.viv` once another program deleted out.viv). There is
                // nothing to replace, so the bytes go into it; through the standard stream that writes
                // there, when one does, so that what that stream writes later comes after them.
                int shared;
                if (const io_error error = fs::share_standard_stream(target.identity, shared)) return error;
                if (shared >= 0) fs::close_file(std::exchange(stream_, shared));
            } else {
                fs::close_file(std::exchange(stream_, -1));
                if (const io_error error = check_replaceable(path, target)) return error;
                if (standing.kind == fs::file_status::link) {
                    if (const io_error error = fs::resolve_links(path, location)) return error;
                }
            }
        }
        if (stream_ >= 0) {
            image_ = image_buffer(size);
            return image_.allocated() ? io_error() : io_error::no_memory_for(size);
        }
    }

    const std::size_t leaf = fs::leaf_start(location);
    if (leaf == location.size()) return io_error::system(EISDIR);
    if (const io_error error = fs::open_folder(location.substr(0, leaf), folder_)) return error;
    if (const io_error error = file_.create(folder_, location.substr(leaf), target)) return error;
    const io_error reserved = fs::reserve(file_.fd(), size);
    if (!reserved) {
        std::byte* mapping = nullptr;
        if (const io_error error = fs::map_file(file_.fd(), size, true, mapping)) return io_error::mapping(error);
        image_ = image_buffer::adopt(mapping, size);
        mapped_ = true;
        return {};
    }
    if (reserved.what() != io_error::kind::unsupported) return reserved;
    image_ = image_buffer(size);
    return image_.allocated() ? io_error() : io_error::no_memory_for(size);
}

void archive_output::filled(std::size_t offset, std::size_t length) {
    if (mapped_ && file_.replacing()) fs::start_write_back(file_.fd(), offset, length);
}

io_error archive_output::finish() {
    if (stream_ >= 0) {
        io_error error = write_exactly(stream_, bytes());
        const io_error closed = fs::close_file(std::exchange(stream_, -1));
        return error ? error : closed;
    }
    if (!mapped_) {
        if (const io_error error = write_exactly(file_.fd(), bytes(), file_.replacing())) return error;
    }
    image_ = image_buffer();
    return file_.place();
}

}  // namespace brel
