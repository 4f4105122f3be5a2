// The key wait on a real terminal: the program runs on a pseudo-terminal that is its controlling
// terminal and its standard output, with standard input from /dev/null.
#include <gtest/gtest.h>

#include <csignal>

#include "support.hpp"

using namespace brel_test;

namespace {

TEST(KeyWait, OneKeyEndsTheWaitIsEchoedAndLeavesTheTerminalAsItWas) {
    const std::string prompt = "\nPress any key...";
    const struct {
        const char* what;
        std::vector<std::string> arguments;
        std::string keys;
        int signal_number;
        std::string echo;
        int status;
    } cases[] = {
        {"letter after the usage failure", {}, "x", 0, "x", 1},
        {"letter after packing", {"out.viv", "in"}, "q", 0, "q", 0},
        {"Ctrl+C is a key", {"out.viv", "in"}, "\x03", 0, "\x03", 0},
        {"cursor key, whole sequence taken", {"out.viv", "in"}, "\x1b[A", 0, "", 0},
        {"function key, whole sequence taken", {}, "\x1b[15~", 0, "", 1},
        {"character of several bytes", {}, "\xc3\xa9", 0, "\xc3\xa9", 1},
        {"ended by SIGTERM", {}, "", SIGTERM, "", -SIGTERM},
        {"ended by SIGHUP", {"out.viv", "in"}, "", SIGHUP, "", -SIGHUP},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in", "data");
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.begin(), BRELPACK_PATH);
        terminal_run run(dir.path(), arguments);
        const std::string shown = run.screen_after("Press any key...");
        ASSERT_TRUE(shown.ends_with("Press any key...")) << c.what << ": " << shown;
        ASSERT_TRUE(run.waits_for_key()) << c.what;
        if (c.signal_number != 0) run.send(c.signal_number);
        if (!c.keys.empty()) run.press(c.keys);
        EXPECT_EQ(run.finish(), c.status) << c.what;
        EXPECT_EQ(run.screen_after().substr(shown.size()), c.echo) << c.what;
        EXPECT_TRUE(run.modes_restored()) << c.what;
        EXPECT_EQ(run.unread_input(), 0) << c.what;
    }
}

TEST(Console, NamesCannotSendControlBytesToATerminal) {
    scratch_dir dir;
    write_file(dir / "a.viv", make_archive({{"a\x1b[2J\x07" "b", "x"}}));
    terminal_run run(dir.path(), {BRELSPLIT_PATH, "a.viv"});
    const std::string screen = run.screen_after("Press any key...");
    ASSERT_TRUE(run.waits_for_key());
    run.press("x");
    EXPECT_EQ(run.finish(), 0);
    EXPECT_NE(screen.find("a?[2J?b"), std::string::npos) << screen;
    EXPECT_EQ(screen.find('\x1b'), std::string::npos);
    EXPECT_EQ(read_file(dir / "a\x1b[2J\x07" "b"), "x");
}

}  // namespace
