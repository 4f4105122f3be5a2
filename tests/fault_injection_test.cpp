// Files that change under the programs, and archives that can't be read: each run says so, fails,
// and loses nothing that was there before.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.hpp"

using namespace brel_test;

namespace {

TEST(FaultInjection, ChangedInputsAndUnreadableArchivesLoseNoPreviousFile) {
    const std::string preload = "LD_PRELOAD=" FAULT_SHIM_PATH;
    // The sanitizers' runtime would otherwise insist on being loaded first.
    const std::string sanitizer_order = "ASAN_OPTIONS=verify_asan_link_order=0";
    const struct {
        const char* what;
        const char* program;
        std::vector<std::string> arguments;
        std::string fault;
        std::string error;
    } cases[] = {
        {"input vanishes between the passes", BRELPACK_PATH, {"out.viv", "keep", "in"}, "BREL_FAULT=vanish:in",
         "brelpack: in: No such file or directory\n"},
        {"input grows between the passes", BRELPACK_PATH, {"out.viv", "in", "keep"}, "BREL_FAULT=grow:in",
         "brelpack: in: file changed size while being read\n"},
        {"archive is a folder", BRELSPLIT_PATH, {"folder"}, "", "brelsplit: folder: Is a directory\n"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in", "input");
        write_file(dir / "keep", "kept");
        write_file(dir / "out.viv", "previous archive");
        std::filesystem::create_directory(dir / "folder");
        const run_result result =
            run_program(c.program, c.arguments, dir.path(), {.environment = {preload, sanitizer_order, c.fault}});
        EXPECT_EQ(result.err, c.error) << c.what;
        EXPECT_EQ(result.status, 2) << c.what;
        EXPECT_TRUE(result.out.ends_with("\n\nPress any key...")) << c.what;
        EXPECT_EQ(read_file(dir / "out.viv"), "previous archive") << c.what;
        EXPECT_EQ(read_file(dir / "keep"), "kept") << c.what;
    }
}

}  // namespace
