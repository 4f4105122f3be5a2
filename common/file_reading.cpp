#include "file_reading.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "stop_signals.hpp"
#include "transfers.hpp"

namespace brel {

namespace {

namespace fs = file_system;

// Reads a pipe, a device or a file of /proc to its end: its length can't be known before. A stream
// that runs on (/dev/zero) stops one byte past the largest archive there can be.
io_error read_stream(int file, image_buffer& image) {
    std::size_t filled = 0;
    image = image_buffer(std::size_t{1} << 20);
    for (;;) {
        const std::span<std::byte> bytes = image.bytes();
        if (!image.allocated()) return io_error::no_memory_for(bytes.size());
        if (filled == bytes.size()) {
            const std::size_t larger_size = stream_capacity_after(filled);
            if (larger_size == 0) return io_error::kind::too_large;
            image_buffer larger(larger_size);
            if (!larger.allocated()) return io_error::no_memory_for(larger_size);
            std::memcpy(larger.bytes().data(), bytes.data(), filled);
            image = std::move(larger);
            continue;
        }
        stop_signals::take_pending();
        const std::int64_t count = fs::read_some(file, bytes.data() + filled, bytes.size() - filled);
        if (count < 0) {
            if (errno == EINTR) continue;
            return last_system_error();
        }
        if (count == 0) break;
        filled += static_cast<std::size_t>(count);
    }
    image.shorten(filled);
    return {};
}

}  // namespace

io_error measure_input(const char* path, std::uint64_t& size, image_buffer& whole) {
    fs::file_status status;
    if (const io_error error = fs::look_up(path, status)) return error;
    if (status.kind == fs::file_status::nothing) return io_error::system(ENOENT);
    if (status.kind == fs::file_status::folder) return io_error::system(EISDIR);
    size = status.size;
    // Measured by its name: it stays closed until it is read, however many inputs there are.
    if (status.kind == fs::file_status::regular_file && !fs::generated_when_read(path)) return {};
    fs::owned_file file;
    io_error error = fs::open_for_reading(path, file.fd);
    if (!error) error = read_stream(file.fd, whole);
    if (!error) error = fs::close_file(std::exchange(file.fd, -1));
    // A stream that ran on gives its memory back now, not after the other inputs.
    if (error) whole = image_buffer();
    size = whole.bytes().size();
    return error;
}

io_error read_file_into(const char* path, std::span<std::byte> destination) {
    fs::owned_file file;
    if (const io_error error = fs::open_for_reading(path, file.fd)) return error;
    if (const io_error error = read_to_end(file.fd, destination)) return error;
    return fs::close_file(std::exchange(file.fd, -1));
}

io_error archive_image::open(const char* path) {
    if (const io_error error = fs::open_for_reading(path, file_.fd)) return error;
    fs::file_status status;
    if (const io_error error = fs::look_up_open(file_.fd, status)) return error;
    if (status.kind == fs::file_status::folder) return io_error::system(EISDIR);
    if (status.kind != fs::file_status::regular_file) return read_stream(file_.fd, image_);
    opened_ = status;
    if (status.size >= SIZE_MAX) return io_error::no_memory_for(status.size);
    const auto length = static_cast<std::size_t>(status.size);
    std::byte* mapping = nullptr;
    if (length > 0 && !fs::map_file(file_.fd, length, false, mapping)) {
        image_ = image_buffer::adopt(mapping, length);
        return {};
    }
    // An empty file can't be mapped (nor, on some systems, any file): read into memory of its own.
    image_ = image_buffer(length);
    if (!image_.allocated()) return io_error::no_memory_for(length);
    return read_exactly(file_.fd, image_.bytes());
}

bool archive_image::still_whole() const {
    if (opened_.kind == fs::file_status::nothing) return true;
    // A cut inside the last page raises no fault, nor does a cut grown back to the old length: those
    // bytes just read as 0. The file's times tell, as they tell of any other write.
    fs::file_status status;
    return !fs::mapping_cut_short() && !fs::look_up_open(file_.fd, status) && status.unchanged_since(opened_);
}

bool archive_image::is_archive(const file_identity& file) const {
    return opened_.kind != fs::file_status::nothing && file == opened_.identity;
}

void archive_image::name_replaced(const file_identity& replaced) {
    if (!is_archive(replaced)) return;
    // Its bytes must still be as they were; only the time of the last change may move.
    fs::file_status status;
    if (!fs::mapping_cut_short() && !fs::look_up_open(file_.fd, status) && status.still(opened_)) opened_ = status;
}

}  // namespace brel
