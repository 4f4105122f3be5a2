#include "archive_format.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output_names.hpp"
#include "support.hpp"

using namespace brel;
using brel_test::be32;
using brel_test::make_archive;

namespace {

const std::byte* bytes_of(const std::string& text) { return reinterpret_cast<const std::byte*>(text.data()); }

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

}  // namespace
