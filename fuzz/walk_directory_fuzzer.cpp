// libFuzzer target over the directory walk. Besides "no crash", it checks what the decoder relies on:
// every entry it is given has its name inside the image, ended by its 0 byte, entries follow each other
// from offset 16, and the data range check agrees with 64-bit arithmetic. Data judged inside is read
// end to end, so AddressSanitizer sees any range that isn't.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "archive_format.hpp"
#include "output_names.hpp"

namespace {

void require(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> image(reinterpret_cast<const std::byte*>(data), size);
    const brel::directory_listing listing = brel::walk_directory(image);
    const char* const begin = reinterpret_cast<const char*>(data);

    std::size_t name_at = brel::header_length + brel::name_in_entry;
    for (const brel::directory_entry& entry : listing.entries) {
        require(entry.name.data() == begin + name_at);
        require(name_at + entry.name.size() < size);
        require(entry.name.data()[entry.name.size()] == '\0');
        require(std::memchr(entry.name.data(), 0, entry.name.size()) == nullptr);
        require(entry.data_offset == brel::load_be32(image.data() + name_at - brel::name_in_entry));
        require(entry.data_size == brel::load_be32(image.data() + name_at - brel::name_in_entry + 4));

        const bool inside = std::uint64_t{entry.data_offset} + entry.data_size <= size;
        require(brel::data_inside(entry, size) == inside);
        if (inside && entry.data_size > 0) {
            volatile std::uint8_t sum = data[entry.data_offset];
            sum = sum + data[std::size_t{entry.data_offset} + entry.data_size - 1];
        }
        brel::refuse_output_name(entry.name);
        name_at += entry.name.size() + brel::entry_overhead;
    }

    const std::int64_t count = size < brel::header_length
                                   ? 0
                                   : static_cast<std::int32_t>(brel::load_be32(image.data() + brel::entry_count_at));
    const auto wanted = static_cast<std::size_t>(count > 0 ? count : 0);
    // The walk ends early exactly when it says why.
    require(listing.problem.empty() ? size >= brel::header_length && listing.entries.size() == wanted
                                    : listing.entries.size() < wanted || size < brel::header_length);
    return 0;
}
