#include "archive_format.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "name_patterns.hpp"
#include "output_names.hpp"
#include "terminal_text.hpp"
#include "unicode_text.hpp"

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
    std::string archive(layout.data_start, '\x55');  // every byte written, the terminators too
    write_header_and_directory({reinterpret_cast<std::byte*>(archive.data()), archive.size()}, entries, layout);
    for (const auto& [name, data] : files) archive += data;
    return archive;
}

TEST(Be32, StoresAndLoadsTheMostSignificantByteFirst) {
    std::string stored(4, '?');
    store_be32(0x01020384, reinterpret_cast<std::byte*>(stored.data()));
    EXPECT_EQ(stored, "\x01\x02\x03\x84");
    EXPECT_EQ(load_be32(bytes_of("\x80\x7F\x01\xFE")), 0x807F01FEu);
}

TEST(Layout, RefusesTotalsBeyondThirtyTwoBitsWithoutWrapping) {
    const std::uint64_t room = largest_archive_size - 16 - 10;  // data that fills one one-byte name
    const struct { std::vector<packed_entry> entries; std::uint64_t archive_size; } cases[] = {
        {{{"a", room}}, largest_archive_size},
        {{{"a", room + 1}}, largest_archive_size + 1},
        {{{"a", room / 2}, {"a", room / 2 + 1}}, largest_archive_size + 10},
        {{{"a", UINT64_MAX - 5}}, UINT64_MAX},
        {{{"a", UINT64_MAX / 2}, {"b", UINT64_MAX / 2}, {"c", 3}}, UINT64_MAX},
    };
    for (const auto& c : cases) {
        const archive_layout layout = lay_out_archive(c.entries);
        EXPECT_EQ(layout.archive_size, c.archive_size);
        EXPECT_EQ(layout.fits_format(), c.archive_size <= 0xFFFFFFFF);
    }
}

TEST(WalkDirectory, ReadsEveryWholeEntryAndStopsAtTheFirstBrokenOne) {
    const std::string two = make_archive({{"one", "1"}, {"", "22"}});
    const std::string header_of_many = "BIGF" + be32(0) + be32(0x7FFFFFFF) + be32(0);
    const struct { const char* what; std::string image; std::vector<std::string> names; std::string problem; } cases[] = {
        {"well formed", two, {"one", ""}, ""},
        {"no magic, trailing bytes", "XXXX" + two.substr(4) + "trailing", {"one", ""}, ""},
        {"count 0", two.substr(0, 8) + be32(0) + two.substr(12), {}, ""},
        {"count negative", two.substr(0, 8) + be32(0x80000000) + two.substr(12), {}, ""},
        {"15 bytes", two.substr(0, 15), {}, "the archive is 15 bytes long, shorter than its 16-byte header"},
        {"count past the end", header_of_many + "abcd", {}, "entry 1: the directory runs past the end of the archive"},
        {"fields cut", two.substr(0, 30), {"one"}, "entry 2: the directory runs past the end of the archive"},
        {"last name cut", two.substr(0, 16 + 12 + 8), {"one"}, "entry 2: the name has no 0 byte before the end of the archive"},
    };
    // Whole, and held a few bytes at a time from where the walk asks for more (0: the whole archive).
    for (const std::size_t window : {0, 1, 5}) {
        for (const auto& c : cases) {
            const std::span<const std::byte> image(bytes_of(c.image), c.image.size());
            const auto held_from = [&](std::size_t from, std::size_t end) {
                return window == 0 ? image : image.subspan(from, std::min(image.size(), end) - from);
            };
            directory_walker walker(held_from(0, header_length + window), image.size());
            std::vector<std::string> names;
            for (std::size_t end = header_length + window;;) {
                if (const std::optional<directory_entry> entry = walker.next()) {
                    names.emplace_back(entry->name);
                } else if (walker.needs_more() && end < image.size()) {
                    end += window;
                    walker.hold(held_from(walker.needed_from(), end), walker.needed_from(), image.size());
                } else {
                    break;
                }
            }
            EXPECT_EQ(names, c.names) << c.what << ", window " << window;
            EXPECT_EQ(walker.problem(), c.problem) << c.what << ", window " << window;
        }
    }
}

TEST(OutputNames, RefusesNamesThatLeaveTheWorkingFolderOrNameADevice) {
    const auto refused = [](const char* name, name_rules rules) { return refuse_output_name(name, rules) != nullptr; };
    for (const char* name : {"", "/", "/tmp/x", "//x", "..", "../x", "a/..", "a/../../x", "a/../b"})
        EXPECT_TRUE(refused(name, name_rules::posix) && refused(name, name_rules::windows)) << name;
    for (const char* name : {"...", "a\\..\\b", "..\\x", "\\x", "\\\\host\\share\\x", "C:x", "c:\\x", "C:/x", "a/.. /x",
                             "CON", "con.txt", "sub/Nul", "aux .tar.gz", "COM1", "lpt9.x", "CONIN$", "conout$ .txt",
                             "..:x", "a:..:..:x", "a:NUL", "s:stream", "x:", ":x", "1:x", "ab:c", "sub/file.txt:stream",
                             "COM\xB9", "lpt\xB2.txt", "Com\xB3 "})
        EXPECT_TRUE(!refused(name, name_rules::posix) && refused(name, name_rules::windows)) << name;
    for (const char* name : {"x", "a/b", "./x", "..x", "x..", "a/..b/c", "a b/%s", "sub\\x", "COM0", "CONSOLE",
                             "LPT10", "CONIN", "CONOUT$1", "COM\xB4", "LPT\xB9x"})
        EXPECT_TRUE(!refused(name, name_rules::posix) && !refused(name, name_rules::windows)) << name;
}

TEST(TerminalText, ShowsEveryControlCharacterAsAQuestionMarkAndKeepsTheRest) {
    const struct { std::string text, shown; } cases[] = {
        {"plain name.txt", "plain name.txt"},
        {"a\x1b[2J\x07" "b\x7f", "a?[2J?b?"},
        {"\x9b" "2J \x80\x9f", "?2J ??"},                       // C1 controls as lone bytes
        {"\xc2\x9b" "2J \xc2\x80\xc2\x9f", "?2J ??"},           // and in UTF-8, one ? each
        {"caf\xc3\xa9 \xc2\xa0 \xe2\x80\x9b \xf0\x9f\x98\x80",  // characters whose later bytes lie in 0x80-0x9F
         "caf\xc3\xa9 \xc2\xa0 \xe2\x80\x9b \xf0\x9f\x98\x80"},
        {"\xff \xc3( \xc2", "\xff \xc3( \xc2"},                 // other bytes that are not UTF-8 stay
        {"\xc2\x1b \xe2\x80\x1b", "\xc2? \xe2??"},              // a sequence cut short by a control
        {"\xe0\x82\x9b \xc1\x9b", "\xe0?? \xc1?"},              // overlong forms of U+009B
        {"\xed\xa0\x80 \xf4\x90\x80\x80", "\xed\xa0? \xf4???"},  // a surrogate; past U+10FFFF
    };
    for (const auto& c : cases) EXPECT_EQ(without_terminal_controls(c.text), c.shown) << c.text;
}

// Windows gives names as UTF-16, which may hold a surrogate without its partner: every one converts back to itself.
TEST(UnicodeText, EveryWindowsNameGoesToUtf8AndBackWhole) {
    const struct { std::u16string utf16; std::string utf8; } cases[] = {
        {u"a.txt caf\u00e9 \u0436 \uff4f", "a.txt caf\xc3\xa9 \xd0\xb6 \xef\xbd\x8f"},
        {u"\U0001F600", "\xf0\x9f\x98\x80"},                          // a surrogate pair is one character
        {{0xDFFF, u'x', 0xD800}, "\xed\xbf\xbfx\xed\xa0\x80"},      // lone surrogates keep their own three bytes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_from_utf16(c.utf16), c.utf8) << c.utf8;
        EXPECT_EQ(utf16_from_utf8(c.utf8), c.utf16) << c.utf8;
    }
    // Cut short, overlong, past U+10FFFF: each byte that starts no character stands for one U+FFFD.
    EXPECT_EQ(utf16_from_utf8("\xe2\x82x\xc0\xaf\xf4\x90\x80\x80"), u"\uFFFD\uFFFDx" + std::u16string(6, u'\uFFFD'));
}

// Windows takes a path of 260 characters or more, once made whole, only in the long form.
TEST(LongPathForm, IsTakenByWholePathsTooLongForThePlainFormAlone) {
    const std::u16string tail(257, u'x');
    const struct { std::u16string whole, long_form; } cases[] = {
        {u"C:\\" + tail.substr(1), u""}, {u"C:\\" + tail, u"\\\\?\\C:\\" + tail},
        {u"\\\\host\\share\\" + tail, u"\\\\?\\UNC\\host\\share\\" + tail},
        {u"\\\\.\\" + tail, u""}, {u"\\\\?\\C:\\" + tail, u""},
    };
    for (const auto& c : cases) EXPECT_EQ(long_path_form(c.whole), c.long_form) << c.whole.size();
}

// Keys are names in capitals as the system makes them; '?' is one character however many bytes it takes.
TEST(NamePatterns, MatchWholeCharactersIgnoringCaseInKeyOrderThenNameOrder) {
    const struct { const char* pattern; const char* key; bool matches; } cases[] = {
        {"*.tga", "CAR.TGA", true}, {"*.tga", "CAR.TGAX", false}, {"*a*b", "XAXAB", true}, {"a*b*c", "ABCBX", false},
        {"?.TXT", "\xc3\x89.TXT", true}, {"??.TXT", "\xc3\x89.TXT", false}, {"*.*", "README", true}, {"A.*", "AB", false},
        {"*", "", true}, {"", "X", false},
    };
    for (const auto& c : cases) EXPECT_EQ(matches_pattern(c.pattern, c.key), c.matches) << c.pattern << " " << c.key;
    // A key in small letters sorts as in capitals; "\xc3\xa0" (a grave) sorts by its key's "\xc3\x80", before "\xc3\x81".
    const std::vector<std::string> ordered = {"A.t", "a.t", "b.T", "c.t", "\xc3\xa0.t", "\xc3\x81.t"};
    EXPECT_EQ(names_matching("*.T", {{"c.t", "C.T"}, {"\xc3\x81.t", "\xc3\x81.T"}, {"a.t", "a.t"}, {"\xc3\xa0.t", "\xc3\x80.T"},
                                     {"b.T", "B.T"}, {"A.t", "A.T"}, {"b.tx", "B.TX"}}),
              ordered);
}

// A pipe's bytes are held in memory that doubles as it fills, and a stream that never ends (/dev/zero)
// is given up one byte past the largest archive rather than read until memory runs out.
TEST(StreamCapacity, DoublesUpToOneBytePastTheLargestArchiveThenGivesUp) {
    const std::uint64_t largest = 0xFFFFFFFF;
    const std::pair<std::uint64_t, std::uint64_t> steps[] = {
        {1 << 20, 2 << 20}, {largest / 2, largest - 1}, {largest / 2 + 1, largest + 1}, {largest, largest + 1},
        {largest + 1, 0}};
    for (const auto& [capacity, next] : steps)
        EXPECT_EQ(stream_capacity_after(static_cast<std::size_t>(capacity)), next) << capacity;
}

// For seeded, reproducible sets of files (duplicates and empty files common), the layout the encoder
// computes walks back to the same names, sizes and bytes.
TEST(RoundTrip, EveryLaidOutArchiveWalksBackToItsFiles) {
    static const char* const names[] = {"a", "b.txt", "dir/c", "with space", "%s%n", "caf\xc3\xa9", "./e", ""};
    for (unsigned seed = 1; seed <= 60; ++seed) {
        std::mt19937 generator(seed);
        file_set files(1 + generator() % 12);
        for (auto& [name, data] : files) {
            name = names[generator() % std::size(names)];
            data.resize(generator() % 3 == 0 ? 0 : generator() % (generator() % 5 == 0 ? 400 << 10 : 4096));
            for (char& byte : data) byte = static_cast<char>(generator());
        }
        const std::string archive = make_archive(files);
        directory_walker walker({bytes_of(archive), archive.size()});
        EXPECT_EQ(load_be32(bytes_of(archive) + archive_size_at), archive.size()) << "seed " << seed;
        file_set walked;
        while (const std::optional<directory_entry> entry = walker.next()) {
            ASSERT_TRUE(data_inside(*entry, archive.size())) << "seed " << seed << ", entry " << entry->number;
            walked.emplace_back(entry->name, archive.substr(entry->data_offset, entry->data_size));
        }
        EXPECT_EQ(walker.problem(), "") << "seed " << seed;
        EXPECT_EQ(walked, files) << "seed " << seed;
    }
}

}  // namespace
