// The bytes of a VIV archive: a 16-byte header, a directory of entries and the data of every entry,
// every integer a 32-bit big-endian value. Nothing here does I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace brel {

inline constexpr std::size_t header_length = 16;
inline constexpr std::size_t magic_at = 0;
inline constexpr std::size_t archive_size_at = 4;
inline constexpr std::size_t entry_count_at = 8;
inline constexpr std::size_t data_start_at = 12;
inline constexpr std::string_view magic = "BIGF";

// Each directory entry: data_offset, data_size, then the name and its 0 terminator.
inline constexpr std::size_t entry_overhead = 9;
inline constexpr std::size_t data_offset_in_entry = 0;
inline constexpr std::size_t data_size_in_entry = 4;
inline constexpr std::size_t name_in_entry = 8;

// Every field is 32 bits wide, so no archive can be longer than this.
inline constexpr std::uint64_t largest_archive_size = 0xFFFFFFFF;

// How far the memory for a stream of unknown length grows once `capacity` bytes are full: it doubles,
// up to one byte more than the largest archive there can be. 0 once that byte is read too: the stream
// is longer than any archive.
constexpr std::size_t stream_capacity_after(std::size_t capacity) {
    constexpr std::uint64_t most = largest_archive_size < SIZE_MAX - 1 ? largest_archive_size : SIZE_MAX - 1;
    if (capacity > most) return 0;
    return static_cast<std::size_t>(capacity > (most + 1) / 2 ? most + 1 : std::uint64_t{capacity} * 2);
}

void store_be32(std::uint32_t value, std::byte* destination);
std::uint32_t load_be32(const std::byte* source);

// One file to be packed: the name it is stored under and the number of bytes it holds.
struct packed_entry {
    std::string_view name;
    std::uint64_t size;
};

// Where the data area starts and how long the archive is. Both saturate at UINT64_MAX, so a total
// that does not fit the format is reported as such instead of wrapping.
struct archive_layout {
    std::uint64_t data_start;
    std::uint64_t archive_size;

    bool fits_format() const { return archive_size <= largest_archive_size; }
};

archive_layout lay_out_archive(std::span<const packed_entry> entries);

// Writes the header and the directory into `directory`, layout.data_start bytes long: the first bytes
// of the archive, before the data. The layout must come from lay_out_archive over the same entries and
// fit the format.
void write_header_and_directory(std::span<std::byte> directory, std::span<const packed_entry> entries,
                                const archive_layout& layout);

// One entry of a directory, as read from an image. The name points into the image and is followed
// there by its 0 terminator; offset and size are as stored, not yet checked against the image.
struct directory_entry {
    std::uint32_t number;  // 1 for the first entry
    std::string_view name;
    std::uint32_t data_offset;
    std::uint32_t data_size;
};

// Whether the entry's data lies wholly inside an archive of archive_size bytes.
bool data_inside(const directory_entry& entry, std::uint64_t archive_size);

// Reads a directory one entry at a time from offset 16, for as many entries as entry_count says, taken
// as a signed number (0 or less: none). magic, archive_size and data_start are not consulted. Never
// reads outside the archive, and keeps nothing of the entries it has given: a directory of millions of
// entries is walked in the memory of one. The archive need not be in memory whole: the walk goes over
// the part of it held, and asks for more where an entry runs past that part's end.
class directory_walker {
public:
    // A walk over a whole archive in memory.
    explicit directory_walker(std::span<const std::byte> image) : directory_walker(image, image.size()) {}
    // A walk over an archive `archive_size` bytes long, of which `held` is its start (the header at least,
    // unless the archive is shorter).
    directory_walker(std::span<const std::byte> held, std::uint64_t archive_size);
    // The next entry; nothing at the end of the directory, from an entry that runs past the end of the
    // archive on (which problem() then names), and when the bytes held end before the next entry does.
    std::optional<directory_entry> next();
    // Whether next() gave nothing for want of bytes: hold() gives more, from needed_from() on at the latest.
    bool needs_more() const { return needs_more_; }
    std::uint64_t needed_from() const { return cursor_; }
    // Bytes of the archive from offset `from` on, in place of those held before (the names given from
    // those are no longer to be read), and the archive's length, should it be known only now.
    void hold(std::span<const std::byte> bytes, std::uint64_t from, std::uint64_t archive_size);
    // What ended the walk early; empty while nothing has.
    const std::string& problem() const { return problem_; }

private:
    // Ends the walk at the entry just begun, for this reason.
    std::nullopt_t stop(const char* problem);

    std::span<const std::byte> held_;
    std::uint64_t held_from_ = 0;
    std::uint64_t archive_size_;
    std::uint64_t cursor_ = header_length;
    std::int64_t entry_count_ = 0;
    std::int64_t number_ = 0;  // of the entry last begun
    bool needs_more_ = false;
    std::string problem_;
};

}  // namespace brel
