#include "archive_format.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "output_names.hpp"

using namespace brel;

namespace {

const std::byte* bytes_of(const std::string& text) { return reinterpret_cast<const std::byte*>(text.data()); }

std::string be32(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

using file_set = std::vector<std::pair<std::string, std::string>>;

// An archive of these (name, data) pairs, laid out as brelpack lays one out.
std::string make_archive(const file_set& files) {
    std::vector<packed_entry> entries;
    for (const auto& [name, data] : files) entries.push_back({name, data.size()});
    const archive_layout layout = lay_out_archive(entries);
    std::string archive(layout.archive_size, '\0');
    write_header_and_directory({reinterpret_cast<std::byte*>(archive.data()), archive.size()}, entries, layout);
    std::size_t cursor = layout.data_start;
    for (const auto& [name, data] : files) {
        archive.replace(cursor, data.size(), data);
        cursor += data.size();
    }
    return archive;
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
        std::string stored(4, '?');
        store_be32(c.value, reinterpret_cast<std::byte*>(stored.data()));
        EXPECT_EQ(stored, c.bytes) << c.value;
        EXPECT_EQ(load_be32(bytes_of(c.bytes)), c.value);
    }
    EXPECT_LT(static_cast<std::int32_t>(load_be32(bytes_of(std::string("\x80\0\0\0", 4)))), 0);
}

TEST(Layout, WritesTheTwoEntryExampleByteForByte) {
    const std::string expected(
        "BIGF\x00\x00\x00\x2B\x00\x00\x00\x02\x00\x00\x00\x28"
        "\x00\x00\x00\x28\x00\x00\x00\x03" "a.txt\x00"
        "\x00\x00\x00\x2B\x00\x00\x00\x00" "b\x00"
        "abc",
        43);
    EXPECT_EQ(make_archive({{"a.txt", "abc"}, {"b", ""}}), expected);
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

TEST(WalkDirectory, ReadsEveryWholeEntryAndStopsAtTheFirstBrokenOne) {
    const std::string two = make_archive({{"one", "1"}, {"", "22"}});
    const std::string header_of_many = "BIGF" + be32(0) + be32(0x7FFFFFFF) + be32(0);
    const struct {
        const char* what;
        std::string image;
        std::vector<std::string> names;
        std::string problem;
    } cases[] = {
        {"well formed", two, {"one", ""}, ""},
        {"no magic, trailing bytes", "XXXX" + two.substr(4) + "trailing", {"one", ""}, ""},
        {"count 0", two.substr(0, 8) + be32(0) + two.substr(12), {}, ""},
        {"count negative", two.substr(0, 8) + be32(0x80000000) + two.substr(12), {}, ""},
        {"count one short", two.substr(0, 8) + be32(1) + two.substr(12), {"one"}, ""},
        {"empty", "", {}, "the archive is 0 bytes long, shorter than its 16-byte header"},
        {"15 bytes", two.substr(0, 15), {}, "the archive is 15 bytes long, shorter than its 16-byte header"},
        {"count past the end", header_of_many + "abcd", {}, "entry 1: the directory runs past the end of the archive"},
        {"fields cut", two.substr(0, 30), {"one"}, "entry 2: the directory runs past the end of the archive"},
        {"name cut", header_of_many + two.substr(16, 10), {}, "entry 1: the name has no 0 byte before the end of the archive"},
        {"last name cut", two.substr(0, 16 + 12 + 8), {"one"}, "entry 2: the name has no 0 byte before the end of the archive"},
    };
    for (const auto& c : cases) {
        const directory_listing listing = walk_directory({bytes_of(c.image), c.image.size()});
        std::vector<std::string> names;
        for (const directory_entry& entry : listing.entries) names.emplace_back(entry.name);
        EXPECT_EQ(names, c.names) << c.what;
        EXPECT_EQ(listing.problem, c.problem) << c.what;
    }
}

TEST(OutputNames, RefusesNamesThatLeaveTheWorkingFolderOrNameADevice) {
    const struct {
        const char* name;
        bool refused_on_posix;
        bool refused_on_windows;
    } cases[] = {
        {"", true, true},           {"/", true, true},           {"/tmp/x", true, true},
        {"//x", true, true},        {"..", true, true},          {"../x", true, true},
        {"a/..", true, true},       {"a/../../x", true, true},   {"a/../b", true, true},
        {"x", false, false},        {"a/b", false, false},       {"./x", false, false},
        {"..x", false, false},      {"x..", false, false},       {"a/..b/c", false, false},
        {"a b/%s", false, false},   {"sub\\x", false, false},   {"...", false, true},
        {"a\\..\\b", false, true},  {"..\\x", false, true},     {"\\x", false, true},
        {"\\\\host\\share\\x", false, true},                  {"C:x", false, true},
        {"c:\\x", false, true},     {"C:/x", false, true},       {"a/.. /x", false, true},
        {"CON", false, true},       {"con.txt", false, true},    {"sub/Nul", false, true},
        {"aux .tar.gz", false, true}, {"COM1", false, true},     {"lpt9.x", false, true},
        {"COM0", false, false},     {"CONSOLE", false, false},   {"LPT10", false, false},
        {"1:x", false, false},      {"ab:c", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refuse_output_name(c.name, name_rules::posix) != nullptr, c.refused_on_posix) << c.name;
        EXPECT_EQ(refuse_output_name(c.name, name_rules::windows) != nullptr, c.refused_on_windows) << c.name;
    }
}

file_set random_file_set(std::mt19937& generator) {
    static const char* const names[] = {"a", "b.txt", "dir/c", "dir/sub/d.bin", "with space", "%s%n",
                                        "caf\xc3\xa9", "./e", "A", "dir/deeper/and/deeper/f"};
    std::uniform_int_distribution<int> count(1, 12), pick(0, std::size(names) - 1), kind(0, 9);
    file_set files(static_cast<std::size_t>(count(generator)));
    for (auto& [name, data] : files) {
        name = names[pick(generator)];  // picked with repetition, so duplicates come up often
        const int size_kind = kind(generator);
        const std::size_t size = size_kind < 3 ? 0
                                 : size_kind < 8 ? generator() % 4096
                                                 : generator() % (400 << 10);
        data.resize(size);
        for (char& byte : data) byte = static_cast<char>(generator());
    }
    return files;
}

TEST(RoundTrip, EveryLaidOutArchiveWalksBackToItsFiles) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        std::mt19937 generator(seed);
        const file_set files = random_file_set(generator);
        const std::string archive = make_archive(files);
        const auto* bytes = reinterpret_cast<const std::byte*>(archive.data());
        const directory_listing listing = walk_directory({bytes, archive.size()});

        ASSERT_EQ(listing.problem, "") << "seed " << seed;
        ASSERT_EQ(listing.entries.size(), files.size()) << "seed " << seed;
        EXPECT_EQ(load_be32(bytes + archive_size_at), archive.size()) << "seed " << seed;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const directory_entry& entry = listing.entries[i];
            ASSERT_TRUE(data_inside(entry, archive.size())) << "seed " << seed << ", entry " << i;
            EXPECT_EQ(entry.name, files[i].first) << "seed " << seed << ", entry " << i;
            EXPECT_EQ(archive.substr(entry.data_offset, entry.data_size), files[i].second)
                << "seed " << seed << ", entry " << i;
        }
    }
}

}  // namespace
