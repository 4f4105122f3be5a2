#include "archive_format.hpp"

#include <cassert>
#include <cstring>
#include <limits>

namespace brel {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max()
                                                              : a + b;
}

}  // namespace

void store_be32(std::uint32_t value, std::byte* destination) {
    destination[0] = static_cast<std::byte>(value >> 24);
    destination[1] = static_cast<std::byte>(value >> 16);
    destination[2] = static_cast<std::byte>(value >> 8);
    destination[3] = static_cast<std::byte>(value);
}

std::uint32_t load_be32(const std::byte* source) {
    return (std::uint32_t{std::to_integer<std::uint8_t>(source[0])} << 24) |
           (std::uint32_t{std::to_integer<std::uint8_t>(source[1])} << 16) |
           (std::uint32_t{std::to_integer<std::uint8_t>(source[2])} << 8) |
           std::uint32_t{std::to_integer<std::uint8_t>(source[3])};
}

archive_layout lay_out_archive(std::span<const packed_entry> entries) {
    std::uint64_t directory_end = header_length;
    std::uint64_t archive_size = header_length;
    for (const packed_entry& entry : entries) {
        const std::uint64_t entry_length = saturating_add(entry_overhead, entry.name.size());
        directory_end = saturating_add(directory_end, entry_length);
        archive_size = saturating_add(saturating_add(archive_size, entry_length), entry.size);
    }
    return {directory_end, archive_size};
}

void write_header_and_directory(std::span<std::byte> image, std::span<const packed_entry> entries,
                                const archive_layout& layout) {
    assert(layout.fits_format() && image.size() == layout.archive_size);
    std::memcpy(image.data() + magic_at, magic.data(), magic.size());
    store_be32(static_cast<std::uint32_t>(layout.archive_size), image.data() + archive_size_at);
    store_be32(static_cast<std::uint32_t>(entries.size()), image.data() + entry_count_at);
    store_be32(static_cast<std::uint32_t>(layout.data_start), image.data() + data_start_at);

    std::size_t directory_cursor = header_length;
    std::uint64_t data_cursor = layout.data_start;
    for (const packed_entry& entry : entries) {
        std::byte* at = image.data() + directory_cursor;
        store_be32(static_cast<std::uint32_t>(data_cursor), at + data_offset_in_entry);
        store_be32(static_cast<std::uint32_t>(entry.size), at + data_size_in_entry);
        std::memcpy(at + name_in_entry, entry.name.data(), entry.name.size());
        directory_cursor += entry_overhead + entry.name.size();
        data_cursor += entry.size;
    }
}

bool data_inside(const directory_entry& entry, std::size_t image_size) {
    return std::uint64_t{entry.data_offset} + entry.data_size <= image_size;
}

directory_walker::directory_walker(std::span<const std::byte> image) : image_(image) {
    if (image.size() < header_length) {
        problem_ = "the archive is " + std::to_string(image.size()) + " bytes long, shorter than its " +
                   std::to_string(header_length) + "-byte header";
        return;
    }
    entry_count_ = static_cast<std::int32_t>(load_be32(image.data() + entry_count_at));
}

std::optional<directory_entry> directory_walker::next() {
    if (number_ >= entry_count_ || !problem_.empty()) return std::nullopt;
    ++number_;
    if (image_.size() - cursor_ < name_in_entry) return stop("the directory runs past the end of the archive");
    const std::byte* at = image_.data() + cursor_;
    const auto* name = reinterpret_cast<const char*>(at + name_in_entry);
    const std::size_t room = image_.size() - cursor_ - name_in_entry;
    const auto* terminator = static_cast<const char*>(std::memchr(name, 0, room));
    if (terminator == nullptr) return stop("the name has no 0 byte before the end of the archive");
    const directory_entry entry{static_cast<std::uint32_t>(number_),
                                std::string_view(name, static_cast<std::size_t>(terminator - name)),
                                load_be32(at + data_offset_in_entry), load_be32(at + data_size_in_entry)};
    cursor_ += entry_overhead + entry.name.size();
    return entry;
}

std::nullopt_t directory_walker::stop(const char* problem) {
    problem_ = "entry " + std::to_string(number_) + ": " + problem;
    return std::nullopt;
}

}  // namespace brel
