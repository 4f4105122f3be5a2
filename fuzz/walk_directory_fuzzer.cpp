// libFuzzer target over the directory walk. Besides "no crash", it checks what the decoder relies on:
// every entry it is given has its name inside the image, ended by its 0 byte, entries follow each other
// from offset 16, numbered from 1, a walk once ended stays so, and the data range check agrees with
// 64-bit arithmetic. Data judged inside is read
// end to end, so AddressSanitizer sees any range that isn't.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <optional>
#include <span>
#include <string>

#include "archive_format.hpp"
#include "output_names.hpp"

namespace {

void require(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> image(reinterpret_cast<const std::byte*>(data), size);
    brel::directory_walker walker(image);
    const char* const begin = reinterpret_cast<const char*>(data);

    std::size_t name_at = brel::header_length + brel::name_in_entry;
    std::size_t walked = 0;
    for (std::optional<brel::directory_entry> next; (next = walker.next()); ++walked) {
        const brel::directory_entry& entry = *next;
        require(entry.number == walked + 1);
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
    // The walk ends early exactly when it says why, and once ended stays so.
    require(walker.problem().empty() ? size >= brel::header_length && walked == wanted
                                     : walked < wanted || size < brel::header_length);
    const std::string problem = walker.problem();
    require(!walker.next() && walker.problem() == problem);

    // Held a window at a time, copied out as a reader of a file holds it, the walk gives the same entries.
    const std::size_t window = size == 0 ? 1 : 1 + data[size - 1] % 64;
    std::string held;
    const auto hold_from = [&](std::size_t from, std::size_t length) {
        held.assign(begin + from, std::min(size - from, length));
        return std::span<const std::byte>(reinterpret_cast<const std::byte*>(held.data()), held.size());
    };
    brel::directory_walker windowed(hold_from(0, brel::header_length + window), size);
    brel::directory_walker whole(image);
    for (std::size_t length = window;;) {
        const std::optional<brel::directory_entry> entry = windowed.next();
        if (!entry && windowed.needs_more()) {
            require(windowed.needed_from() < size);
            length *= 2;
            windowed.hold(hold_from(windowed.needed_from(), length), windowed.needed_from(), size);
            continue;
        }
        const std::optional<brel::directory_entry> expected = whole.next();
        require(entry.has_value() == expected.has_value());
        if (!entry) break;
        require(entry->number == expected->number && entry->name == expected->name &&
                entry->data_offset == expected->data_offset && entry->data_size == expected->data_size);
    }
    require(windowed.problem() == problem);
    return 0;
}
