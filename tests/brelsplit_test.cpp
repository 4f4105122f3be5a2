#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "support.hpp"

using namespace brel_test;

namespace {

const std::string prompt = "\nPress any key...";
const std::string decoded = "\n\nDecoded!" + prompt;

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

// Every regular file below the folder (links left out), by relative name, with its contents.
std::map<std::string, std::string> files_below(const scratch_dir& dir) {
    std::map<std::string, std::string> files;
    for (const std::string& name : dir.listing()) {
        if (std::filesystem::is_regular_file(std::filesystem::symlink_status(dir / name))) {
            files[name] = read_file(dir / name);
        }
    }
    return files;
}

TEST(Brelsplit, GivesBackWhatBrelpackPackedByteForByte) {
    const std::map<std::string, std::string> files = {
        {"plain.txt", "hello\n"},
        {"empty", ""},
        {"sub dir/with space.bin", random_bytes(300 << 10, 1)},
        {"sub dir/deeper/zeros", std::string(1000, '\0')},
        {"per%cent%s%n.txt", "%s%n"},
        {"caf\xc3\xa9-\xff.dat", random_bytes(4097, 2)},
    };
    scratch_dir source, target;
    std::vector<std::string> arguments = {"packed.viv"};
    std::string entry_lines;
    for (const auto& [name, data] : files) {
        std::filesystem::create_directories((source / name).parent_path());
        std::filesystem::create_directories((target / name).parent_path());
        write_file(source / name, data);
        arguments.push_back(name);
        entry_lines += "\n" + name;
    }
    ASSERT_EQ(run_program(BRELPACK_PATH, arguments, source.path()).status, 0);
    std::filesystem::rename(source / "packed.viv", target / "packed.viv");

    const run_result result = run_program(BRELSPLIT_PATH, {"packed.viv", "ignored", "args"}, target.path());
    EXPECT_EQ(result.out, decoder_banner + entry_lines + decoded);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    std::map<std::string, std::string> unpacked = files_below(target);
    unpacked.erase("packed.viv");
    EXPECT_EQ(unpacked, files);
}

TEST(Brelsplit, LaterDuplicatesWinAndExistingFilesTakeTheNewLength) {
    scratch_dir dir;
    write_file(dir / "a.viv", make_archive({{"d", "first"}, {"e", ""}, {"d", "second"}}));
    write_file(dir / "e", "old contents");
    write_file(dir / "d", "a longer old content, cut down to the new length");
    const run_result result = run_program(BRELSPLIT_PATH, {"a.viv"}, dir.path());
    EXPECT_EQ(result.out, decoder_banner + "\nd\ne\nd" + decoded);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(files_below(dir), (std::map<std::string, std::string>{
                                    {"a.viv", read_file(dir / "a.viv")}, {"d", "second"}, {"e", ""}}));
}

TEST(Brelsplit, NoEntriesWhenTheCountIsZeroOrNegative) {
    for (std::uint32_t count : {0u, 0x80000000u, 0xFFFFFFFFu}) {
        scratch_dir dir;
        std::string archive = make_archive({{"x", "data"}});
        patch_be32(archive, 8, count);
        write_file(dir / "a.viv", archive);
        const run_result result = run_program(BRELSPLIT_PATH, {"a.viv"}, dir.path());
        EXPECT_EQ(result.out, decoder_banner + decoded) << count;
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(dir.listing(), std::vector<std::string>{"a.viv"});
    }
}

TEST(Brelsplit, HostileOrBrokenArchivesNeverWriteOutsideTheFolderOrBeyondTheImage) {
    scratch_dir dir;
    const std::string outside = (dir / "outside").string();
    std::string past_end = make_archive({{"x", "abc"}, {"y", "ok"}});
    patch_be32(past_end, 16, 100);
    std::string wraps = make_archive({{"x", "abc"}, {"y", "ok"}});
    patch_be32(wraps, 16, 0xFFFFFFF0);
    patch_be32(wraps, 20, 0x20);
    std::string unterminated = make_archive({{"ok", "1"}, {"name", "2"}});
    unterminated.resize(16 + 11 + 8 + 3);
    patch_be32(unterminated, 16, 0);  // entry 1 takes its one byte from the header
    const std::string many = "BIGF" + be32(20) + be32(0x7FFFFFFF) + be32(0) + "abcd";
    const struct {
        const char* what;
        std::string archive;  // empty: no archive file at all
        std::string entry_lines;
        std::string error;
        std::map<std::string, std::string> written;
        run_options options = {};
    } cases[] = {
        {"missing archive", "", "", "brelsplit: a.viv: No such file or directory\n", {}},
        {"shorter than the header", "BIGF0000", "",
         "brelsplit: a.viv: the archive is 8 bytes long, shorter than its 16-byte header\n", {}},
        {"count 0x7FFFFFFF on 20 bytes", many, "",
         "brelsplit: a.viv: entry 1: the directory runs past the end of the archive\n", {}},
        {"name without terminator", unterminated, "\nok",
         "brelsplit: a.viv: entry 2: the name has no 0 byte before the end of the archive\n", {{"ok", "B"}}},
        {"data past the end", past_end, "\nx\ny",
         "brelsplit: a.viv: entry 1 \"x\": its data (offset 100, size 3) lies outside the archive, which is "
         "41 bytes long\n",
         {{"y", "ok"}}},
        {"offset + size wraps", wraps, "\nx\ny",
         "brelsplit: a.viv: entry 1 \"x\": its data (offset 4294967280, size 32) lies outside the archive, "
         "which is 41 bytes long\n",
         {{"y", "ok"}}},
        {"climbing and absolute names",
         make_archive({{"../x", "1"}, {outside, "2"}, {"a/../../x", "3"}, {"", "4"}, {"link", "5"}}),
         "\n../x\n" + outside + "\na/../../x\n\nlink",
         "brelsplit: a.viv: entry 1 \"../x\": a name with a \"..\" part could be written outside the working "
         "folder\n"
         "brelsplit: a.viv: entry 2 \"" + outside + "\": an absolute name would be written outside the working "
         "folder\n"
         "brelsplit: a.viv: entry 3 \"a/../../x\": a name with a \"..\" part could be written outside the "
         "working folder\n"
         "brelsplit: a.viv: entry 4 \"\": the name is empty\n",
         {{"link", "5"}}},
        {"missing folder, write limit",
         make_archive({{"no/x", "1"}, {"big", std::string(5000, 'b')}, {"new", std::string(5000, 'n')},
                       {"large", std::string(5000, 'l')}, {"z", "2"}}),
         "\nno/x\nbig\nnew\nlarge\nz",
         "brelsplit: no/x: No such file or directory\nbrelsplit: big: File too large\nbrelsplit: new: File too large\n"
         "brelsplit: large: File too large\n",
         {{"z", "2"}}, {.file_size = 4096}},
    };
    for (const auto& c : cases) {
        // Already there: files that a failed write must leave whole (one shorter, one longer than the
        // new bytes), and a link out of the folder that an entry of the same name must replace, not follow.
        std::filesystem::remove_all(dir / "work");
        std::filesystem::create_directories(dir / "work");
        write_file(dir / "work/big", "previous");
        write_file(dir / "work/large", std::string(6000, 'L'));
        write_file(dir / "victim", "untouched");
        std::filesystem::create_symlink("../victim", dir / "work/link");
        if (!c.archive.empty()) write_file(dir / "work/a.viv", c.archive);
        const run_result result = run_program(BRELSPLIT_PATH, {"a.viv"}, dir / "work", c.options);
        EXPECT_EQ(result.out, decoder_banner + c.entry_lines + prompt) << c.what;
        EXPECT_EQ(result.err, c.error) << c.what;
        EXPECT_EQ(result.status, 2) << c.what;
        std::map<std::string, std::string> written = files_below(dir);
        written.erase("work/a.viv");
        std::map<std::string, std::string> expected = {
            {"work/big", "previous"}, {"work/large", std::string(6000, 'L')}, {"victim", "untouched"}};
        for (const auto& [name, data] : c.written) expected["work/" + name] = data;
        EXPECT_EQ(written, expected) << c.what;
    }
}

}  // namespace
