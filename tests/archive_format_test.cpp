#include "archive_format.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace brel;

namespace {

std::string as_string(const std::vector<std::byte>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Header and directory as the encoder lays them out, with each entry's data copied after them.
std::string encode(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<packed_entry> entries;
    for (const auto& [name, data] : files) entries.push_back({name, data.size()});
    const archive_layout layout = lay_out_archive(entries);
    std::vector<std::byte> image(layout.archive_size);
    write_header_and_directory(image, entries, layout);
    std::size_t cursor = layout.data_start;
    for (const auto& file : files) {
        std::memcpy(image.data() + cursor, file.second.data(), file.second.size());
        cursor += file.second.size();
    }
    return as_string(image);
}

TEST(Be32, RoundTripsEdgeValuesMostSignificantByteFirst) {
    const struct {
        std::uint32_t value;
        std::string bytes;
    } cases[] = {
        {0, {"\x00\x00\x00\x00", 4}},         {1, {"\x00\x00\x00\x01", 4}},
        {0x01020304, "\x01\x02\x03\x04"},     {0x7FFFFFFF, {"\x7F\xFF\xFF\xFF", 4}},
        {0x80000000, {"\x80\x00\x00\x00", 4}}, {0xFFFFFFFF, "\xFF\xFF\xFF\xFF"},
    };
    for (const auto& c : cases) {
        std::vector<std::byte> stored(4);
        store_be32(c.value, stored.data());
        EXPECT_EQ(as_string(stored), c.bytes) << c.value;
        EXPECT_EQ(load_be32(reinterpret_cast<const std::byte*>(c.bytes.data())), c.value);
    }
    EXPECT_LT(static_cast<std::int32_t>(load_be32(reinterpret_cast<const std::byte*>("\x80\0\0\0"))), 0);
}

TEST(Layout, WritesTheTwoEntryExampleByteForByte) {
    const std::string expected(
        "BIGF\x00\x00\x00\x2B\x00\x00\x00\x02\x00\x00\x00\x28"
        "\x00\x00\x00\x28\x00\x00\x00\x03" "a.txt\x00"
        "\x00\x00\x00\x2B\x00\x00\x00\x00" "b\x00"
        "abc",
        43);
    EXPECT_EQ(encode({{"a.txt", "abc"}, {"b", ""}}), expected);
}

TEST(Layout, EmptyEntriesAllPointAtTheEndOfTheDirectory) {
    const std::string archive = encode({{"x", ""}, {"dir/y", ""}, {"x", ""}});
    const auto* bytes = reinterpret_cast<const std::byte*>(archive.data());
    const std::uint32_t data_start = 16 + 10 + 14 + 10;
    EXPECT_EQ(archive.size(), data_start);
    EXPECT_EQ(load_be32(bytes + archive_size_at), data_start);
    EXPECT_EQ(load_be32(bytes + entry_count_at), 3u);
    for (std::size_t entry_at : {16u, 26u, 40u}) EXPECT_EQ(load_be32(bytes + entry_at), data_start);
}

TEST(Layout, RefusesTotalsBeyondThirtyTwoBitsWithoutWrapping) {
    const std::uint64_t room = largest_archive_size - 16 - 10;  // data that fills one one-byte name
    const struct {
        std::vector<packed_entry> entries;
        std::uint64_t archive_size;
        bool fits;
    } cases[] = {
        {{{"a", room}}, largest_archive_size, true},
        {{{"a", room + 1}}, largest_archive_size + 1, false},
        {{{"a", room / 2}, {"a", room / 2 + 1}}, largest_archive_size + 10, false},
        {{{"a", UINT64_MAX - 5}}, UINT64_MAX, false},
        {{{"a", UINT64_MAX / 2}, {"b", UINT64_MAX / 2}, {"c", 3}}, UINT64_MAX, false},
    };
    for (const auto& c : cases) {
        const archive_layout layout = lay_out_archive(c.entries);
        EXPECT_EQ(layout.archive_size, c.archive_size);
        EXPECT_EQ(layout.fits_format(), c.fits);
    }
}

}  // namespace
