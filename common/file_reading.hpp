// Reading what the programs are given: inputs to pack, and an archive to unpack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "archive_format.hpp"
#include "file_system.hpp"
#include "image_buffer.hpp"
#include "io_error.hpp"

namespace brel {

// The size of the input at path. A regular file is measured by what the system records, and read
// later with read_file_into. Anything else (a pipe, a device, a file of /proc or /sys, whose recorded
// size says nothing of what a read gives) is read to its end into `whole`, from its one opening: a
// named pipe's writer may be gone by a second one, and its bytes with it. A folder is refused.
io_error measure_input(const char* path, std::uint64_t& size, image_buffer& whole);

// How far the memory for a stream of unknown length grows once `capacity` bytes are full: it doubles,
// up to one byte more than the largest archive there can be. 0 once that byte is read too: the stream
// is longer than any archive.
constexpr std::size_t stream_capacity_after(std::size_t capacity) {
    constexpr std::uint64_t most = largest_archive_size < SIZE_MAX - 1 ? largest_archive_size : SIZE_MAX - 1;
    if (capacity > most) return 0;
    return static_cast<std::size_t>(capacity > (most + 1) / 2 ? most + 1 : std::uint64_t{capacity} * 2);
}

// Reads the file at path into destination, which must be exactly as long as the file still is; a
// file that is now shorter or longer is refused with size_changed.
io_error read_file_into(const char* path, std::span<std::byte> destination);

// A whole archive as an image: the file's own pages, mapped, where it can be; else (a pipe, a device)
// read to its end into memory of its own. The file stays open while the image is in use, so that
// still_whole() can tell whether another program has changed it since in any way (cut it short and
// grown it back, written over it, renamed something over it): bytes read from a lost part come back
// as 0, and writes from them fail with archive_changed.
class archive_image {
public:
    io_error open(const char* path);
    std::span<const std::byte> bytes() const { return image_.bytes(); }
    bool still_whole() const;
    // Whether that is the archive's file (a stream has none).
    bool is_archive(const file_identity& file) const;
    // A name of the archive's file was just replaced by this program (an entry named after it): that
    // changes the file's status, not its bytes.
    void name_replaced(const file_identity& replaced);

private:
    image_buffer image_;
    file_system::owned_file file_;
    file_system::file_status opened_;  // the file as it was when opened; `nothing` for a stream
};

}  // namespace brel
