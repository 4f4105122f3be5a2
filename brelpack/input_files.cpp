#include "input_files.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "archive_format.hpp"
#include "file_system.hpp"
#include "stop_signals.hpp"

namespace brel {

namespace fs = file_system;

namespace {

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

io_error measure_input(const char* path, std::uint64_t& size, bool& stream) {
    const io_result<fs::file_status> status = fs::look_up(path);
    if (!status) return status.error();
    if (status->kind == fs::file_status::nothing) return io_error::system(ENOENT);
    if (status->kind == fs::file_status::folder) return io_error::system(EISDIR);
    // Measured by its name: it stays closed until it is read, however many inputs there are.
    stream = status->kind != fs::file_status::regular_file || fs::generated_when_read(path);
    size = stream ? 0 : status->size;
    return {};
}

io_error read_input_whole(const char* path, image_buffer& whole) {
    io_result<fs::owned_file> file = fs::open_for_reading(path);
    io_error error = file.error();
    if (!error) error = read_stream(file->get(), whole);
    if (!error) error = file->close();
    // A stream that ran on gives its memory back now, not after the other inputs.
    if (error) whole = image_buffer();
    return error;
}

}  // namespace brel
