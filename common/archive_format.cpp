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

void write_header_and_directory(std::span<std::byte> directory, std::span<const packed_entry> entries,
                                const archive_layout& layout) {
    assert(layout.fits_format() && directory.size() == layout.data_start);
    std::memcpy(directory.data() + magic_at, magic.data(), magic.size());
    store_be32(static_cast<std::uint32_t>(layout.archive_size), directory.data() + archive_size_at);
    store_be32(static_cast<std::uint32_t>(entries.size()), directory.data() + entry_count_at);
    store_be32(static_cast<std::uint32_t>(layout.data_start), directory.data() + data_start_at);

    std::size_t directory_cursor = header_length;
    std::uint64_t data_cursor = layout.data_start;
    for (const packed_entry& entry : entries) {
        std::byte* at = directory.data() + directory_cursor;
        store_be32(static_cast<std::uint32_t>(data_cursor), at + data_offset_in_entry);
        store_be32(static_cast<std::uint32_t>(entry.size), at + data_size_in_entry);
        std::memcpy(at + name_in_entry, entry.name.data(), entry.name.size());
        at[name_in_entry + entry.name.size()] = std::byte{0};
        directory_cursor += entry_overhead + entry.name.size();
        data_cursor += entry.size;
    }
}

bool data_inside(const directory_entry& entry, std::uint64_t archive_size) {
    return std::uint64_t{entry.data_offset} + entry.data_size <= archive_size;
}

directory_walker::directory_walker(std::span<const std::byte> held, std::uint64_t archive_size)
    : held_(held), archive_size_(archive_size) {
    if (archive_size < header_length) {
        problem_ = "the archive is " + std::to_string(archive_size) + " bytes long, shorter than its " +
                   std::to_string(header_length) + "-byte header";
        return;
    }
    assert(held.size() >= header_length);
    entry_count_ = static_cast<std::int32_t>(load_be32(held.data() + entry_count_at));
}

void directory_walker::hold(std::span<const std::byte> bytes, std::uint64_t from, std::uint64_t archive_size) {
    assert(from <= cursor_);
    held_ = bytes;
    held_from_ = from;
    archive_size_ = archive_size;
}

std::optional<directory_entry> directory_walker::next() {
    needs_more_ = false;
    if (number_ >= entry_count_ || !problem_.empty()) return std::nullopt;
    const std::uint64_t held_end = held_from_ + held_.size();
    if (archive_size_ - cursor_ < name_in_entry) {
        ++number_;
        return stop("the directory runs past the end of the archive");
    }
    const auto wait_for_more = [&] {
        needs_more_ = true;
        return std::nullopt;
    };
    if (held_end < cursor_ + name_in_entry) return wait_for_more();
    const std::byte* at = held_.data() + (cursor_ - held_from_);
    const auto* name = reinterpret_cast<const char*>(at + name_in_entry);
    const auto room = static_cast<std::size_t>(held_end - cursor_ - name_in_entry);
    const auto* terminator = static_cast<const char*>(std::memchr(name, 0, room));
    if (terminator == nullptr) {
        if (held_end < archive_size_) return wait_for_more();
        ++number_;
        return stop("the name has no 0 byte before the end of the archive");
    }
    ++number_;
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
