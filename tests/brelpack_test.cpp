#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support.hpp"

using namespace brel_test;

namespace {

const std::string prompt = "\nPress any key...";

run_result brelpack(const scratch_dir& dir, const std::vector<std::string>& arguments, const run_options& options = {}) {
    return run_program(BRELPACK_PATH, arguments, dir.path(), options);
}

TEST(Usage, TooFewArgumentsPrintUsageAndExitWithOne) {
    const struct {
        const char* program;
        std::vector<std::string> arguments;
        std::string banner;
    } cases[] = {{BRELPACK_PATH, {}, encoder_banner},
                 {BRELPACK_PATH, {"out.viv"}, encoder_banner},
                 {BRELSPLIT_PATH, {}, decoder_banner}};
    for (const auto& c : cases) {
        scratch_dir dir;
        const run_result run = run_program(c.program, c.arguments, dir.path());
        EXPECT_EQ(run.out, c.banner + "\nNot enought parameters" + prompt) << c.program;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(dir.listing().empty());
    }
}

TEST(Brelpack, PacksTwoFilesAsTheHeaderAndDirectoryDescribe) {
    scratch_dir dir;
    write_file(dir / "a", "abc");
    write_file(dir / "b", "defgh");
    const run_result run = brelpack(dir, {"out.viv", "a", "b"});
    EXPECT_EQ(run.out, encoder_banner + "\n\nEncoded!" + prompt);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(dir / "out.viv"), "BIGF" + be32(44) + be32(2) + be32(36) + be32(36) + be32(3) +
                                              std::string("a", 2) + be32(39) + be32(5) + std::string("b", 2) +
                                              "abcdefgh");
}

TEST(Brelpack, StoresNamesAsGivenDuplicatesTwiceAndEmptyFilesWithoutData) {
    scratch_dir dir;
    std::filesystem::create_directories(dir / "sub dir/deeper");
    write_file(dir / "sub dir/deeper/F.Txt", "xy");
    write_file(dir / "empty", "");
    const std::string absolute = (dir / "empty").string();
    const run_result run = brelpack(dir, {"x.viv", "sub dir/deeper/F.Txt", "empty", "./sub dir/deeper/F.Txt",
                                          absolute});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::uint32_t data_start = 16 + 29 + 14 + 31 + 9 + static_cast<std::uint32_t>(absolute.size());
    EXPECT_EQ(read_file(dir / "x.viv"),
              "BIGF" + be32(data_start + 4) + be32(4) + be32(data_start) +
                  be32(data_start) + be32(2) + std::string("sub dir/deeper/F.Txt", 21) +
                  be32(data_start + 2) + be32(0) + std::string("empty", 6) +
                  be32(data_start + 2) + be32(2) + std::string("./sub dir/deeper/F.Txt", 23) +
                  be32(data_start + 4) + be32(0) + absolute + std::string(1, '\0') + "xyxy");
}

TEST(Brelpack, StoresThePreviousContentsOfAnArchiveThatIsAlsoAnInput) {
    scratch_dir dir;
    write_file(dir / "self.viv", "old");
    ASSERT_EQ(brelpack(dir, {"self.viv", "self.viv"}).status, 0);
    EXPECT_EQ(read_file(dir / "self.viv"), "BIGF" + be32(36) + be32(1) + be32(33) + be32(33) + be32(3) +
                                               std::string("self.viv", 9) + "old");
}

TEST(Brelpack, FailuresLeaveThePreviousArchiveUntouchedAndNoStrayFiles) {
    const struct {
        const char* what;
        std::vector<std::string> arguments;
        run_options options;
        std::string error;
    } cases[] = {
        {"missing input", {"out.viv", "in", "nowhere", "gone"},  {},
         "brelpack: nowhere: No such file or directory\nbrelpack: gone: No such file or directory\n"},
        {"directory input", {"out.viv", "in", "folder"}, {}, "brelpack: folder: Is a directory\n"},
        {"archive folder missing", {"no/out.viv", "in"}, {}, "brelpack: no/out.viv: No such file or directory\n"},
        {"archive is a folder", {"folder", "in"}, {}, "brelpack: folder: Is a directory\n"},
        {"write limit", {"out.viv", "in"}, {.file_size = 4096}, "brelpack: out.viv: File too large\n"},
        {"over 4 GiB", {"out.viv", "in", "sparse"}, {},
         "brelpack: out.viv: the archive would take 4294975530 bytes, more than the 4294967295 a VIV "
         "archive can hold\n"},
#ifndef BREL_SANITIZED  // the sanitizers reserve more address space than any such limit leaves
        {"no memory", {"out.viv", "in", "big"}, {.address_space = 512 << 20},
         "brelpack: out.viv: Cannot allocate memory\n"},
#endif
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        std::filesystem::create_directory(dir / "folder");
        write_file(dir / "in", std::string(8192, 'i'));
        write_file(dir / "out.viv", "previous archive");
        write_file(dir / "sparse", "");
        ASSERT_EQ(truncate((dir / "sparse").c_str(), 1ll << 32), 0);
        write_file(dir / "big", "");
        ASSERT_EQ(truncate((dir / "big").c_str(), 1ll << 30), 0);
        const std::vector<std::string> before = dir.listing();

        const run_result run = brelpack(dir, c.arguments, c.options);
        EXPECT_EQ(run.err, c.error) << c.what;
        EXPECT_EQ(run.out, encoder_banner + prompt) << c.what;
        EXPECT_EQ(run.status, 2) << c.what;
        EXPECT_EQ(read_file(dir / "out.viv"), "previous archive") << c.what;
        EXPECT_EQ(dir.listing(), before) << c.what;
    }
}

}  // namespace
