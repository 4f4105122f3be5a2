#include "file_access.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "support.hpp"

using namespace brel;
using brel_test::scratch_dir;

namespace {

TEST(ReadFileInto, RefusesAFileWhoseSizeNoLongerMatches) {
    scratch_dir dir;
    brel_test::write_file(dir / "three", "abc");
    for (std::size_t measured : {0u, 2u, 4u}) {
        std::vector<std::byte> destination(measured + 1);  // with the spare byte
        EXPECT_EQ(read_file_into((dir / "three").c_str(), {destination.data(), measured}), size_changed_error)
            << measured;
    }
    std::vector<std::byte> destination(4, std::byte{'-'});
    EXPECT_EQ(read_file_into((dir / "three").c_str(), {destination.data(), 3}), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(destination.data()), 4), "abc-");
}

TEST(ReplaceFile, KeepsTheModeOfWhatItReplacesAndGivesANewFileAPlainCreatesMode) {
    scratch_dir dir;
    const std::vector<std::byte> bytes(5, std::byte{'z'});
    brel_test::write_file(dir / "old", "previous");
    chmod((dir / "old").c_str(), 0640);
    const mode_t mask = umask(027);
    ASSERT_EQ(replace_file((dir / "old").c_str(), bytes, existing_link::write_through), 0);
    ASSERT_EQ(replace_file((dir / "new").c_str(), bytes, existing_link::replace), 0);
    umask(mask);

    struct stat old_status, new_status;
    ASSERT_EQ(stat((dir / "old").c_str(), &old_status), 0);
    ASSERT_EQ(stat((dir / "new").c_str(), &new_status), 0);
    EXPECT_EQ(old_status.st_mode & 07777, 0640u);
    EXPECT_EQ(new_status.st_mode & 07777, 0640u);  // 0666 less the mask
    EXPECT_EQ(brel_test::read_file(dir / "old"), "zzzzz");
    EXPECT_EQ(dir.listing(), (std::vector<std::string>{"new", "old"}));
}

TEST(ReplaceFile, WritesThroughALinkOnlyWhenToldAndNeverReplacesAFolder) {
    const struct {
        existing_link links;
        bool still_a_link;
        std::string target_after;
    } cases[] = {{existing_link::write_through, true, "qqq"}, {existing_link::replace, false, "old"}};
    for (const auto& c : cases) {
        scratch_dir dir;
        const std::vector<std::byte> bytes(3, std::byte{'q'});
        brel_test::write_file(dir / "target", "old");
        std::filesystem::create_symlink("target", dir / "link");
        ASSERT_EQ(replace_file((dir / "link").c_str(), bytes, c.links), 0);
        EXPECT_EQ(std::filesystem::is_symlink(dir / "link"), c.still_a_link);
        EXPECT_EQ(brel_test::read_file(dir / "link"), "qqq");
        EXPECT_EQ(brel_test::read_file(dir / "target"), c.target_after);
        EXPECT_EQ(replace_file(dir.path().c_str(), bytes, c.links), EISDIR);
        EXPECT_EQ(dir.listing(), (std::vector<std::string>{"link", "target"}));
    }
}

}  // namespace
