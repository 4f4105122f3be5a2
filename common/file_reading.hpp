// Reading what the programs are given: inputs to pack, and an archive to unpack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive_format.hpp"
#include "file_system.hpp"
#include "image_buffer.hpp"
#include "io_error.hpp"

namespace brel {

// What the input at path is: a regular file, measured by what the system records, or anything else (a
// pipe, a device, a file of /proc or /sys, whose recorded size says nothing of what a read gives), a
// stream, whose bytes are known only once it is read to its end, from its one opening: a named pipe's
// writer may be gone by a second one, and its bytes with it. A folder is refused.
io_error measure_input(const char* path, std::uint64_t& size, bool& stream);

// Reads the stream at path to its end into `whole`.
io_error read_input_whole(const char* path, image_buffer& whole);

// How far the memory for a stream of unknown length grows once `capacity` bytes are full: it doubles,
// up to one byte more than the largest archive there can be. 0 once that byte is read too: the stream
// is longer than any archive.
constexpr std::size_t stream_capacity_after(std::size_t capacity) {
    constexpr std::uint64_t most = largest_archive_size < SIZE_MAX - 1 ? largest_archive_size : SIZE_MAX - 1;
    if (capacity > most) return 0;
    return static_cast<std::size_t>(capacity > (most + 1) / 2 ? most + 1 : std::uint64_t{capacity} * 2);
}

// An archive being read, without ever holding all of it: a file is read where each part is needed, a
// stream (a pipe, a device) once from its start. The directory is walked through the bytes held in memory
// (a window of a file, the start of a stream), and each entry's bytes go straight from the archive into
// its file. A file stays open, so that still_whole() can tell whether another program has changed it
// since in any way (cut it short and grown it back, written over it, renamed something over it). A
// stream whose entries' data come in order without overlap (every archive brelpack makes) is read past
// once; any other is held in memory whole, being read only once.
class archive_reader {
public:
    io_error open(const char* path);
    // Its length; for a stream read past once, the largest there can be until its end is met.
    std::uint64_t size() const { return size_; }
    // The next entry of the directory; nothing at its end, and at a problem, which problem() names. An
    // error: the archive could not be read there (archive_changed: it was cut short).
    io_error next_entry(std::optional<directory_entry>& entry);
    const std::string& problem() const { return walker_->problem(); }
    // Copies the entry's bytes, which lie inside size(), into `file` at its position, as copy_exactly
    // does; or reads them into `into`, as long as they are. archive_changed: the file was cut short
    // meanwhile; past_the_end: a stream ended before them, and size() is now its length.
    io_error copy(const directory_entry& entry, int file, bool write_back_early);
    io_error read(const directory_entry& entry, std::span<std::byte> into);
    bool still_whole() const;
    // Once every entry is written: a stream is read on to its end, which must come before the largest
    // archive there can be ends (too_large).
    io_error finish();
    // Whether that is the archive's file (a stream has none).
    bool is_archive(const file_identity& file) const;
    // A name of the archive's file was just replaced by this program (an entry named after it): that
    // changes the file's status, not its bytes.
    void name_replaced(const file_identity& replaced);

private:
    io_error hold_more();
    io_error read_stream(std::uint64_t until);
    // Brings a stream read past once to `offset`; past_the_end when it ends first.
    io_error skip_to(std::uint64_t offset);
    io_error take_from_stream(std::span<std::byte> into, std::size_t& count);
    io_error small_data(const directory_entry& entry, std::span<const std::byte>& bytes);

    file_system::owned_file file_;
    file_system::file_status opened_;  // the file as it was when opened; `nothing` for a stream
    std::uint64_t size_ = 0;
    std::vector<std::byte> held_;      // a window of a file, from held_from_; the start of a stream
    std::uint64_t held_from_ = 0;
    std::vector<std::byte> data_;      // a window of a file's data, from data_from_
    std::uint64_t data_from_ = 0;
    std::optional<directory_walker> walker_;
    bool stream_ = false;
    std::uint64_t stream_at_ = 0;      // the bytes of a stream taken from it so far
    bool stream_ended_ = false;
};

}  // namespace brel
