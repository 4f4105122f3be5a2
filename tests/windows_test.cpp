// The Windows programs, run under wine: the same frame and archives, Windows names and the Win32
// console key wait.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support.hpp"

using namespace brel_test;

namespace {

const std::vector<std::string> wine_environment = {"WINEPREFIX=" WINE_PREFIX, "WINEDEBUG=-all"};

run_result run_windows(const char* program, const std::filesystem::path& directory, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program);
    return run_program(WINE_LOADER, arguments, directory, {.environment = wine_environment});
}

// Standard output is a text stream on Windows: every line feed goes out as CR LF.
std::string crlf(const std::string& text) {
    std::string converted;
    for (char byte : text) converted += byte == '\n' ? std::string("\r\n") : std::string(1, byte);
    return converted;
}

// The text a terminal shows for what wine's console writes: it draws with control sequences, moving
// the cursor right over blanks, which count here as blanks; every other sequence is dropped.
std::string visible_text(const std::string& screen) {
    std::string text;
    for (std::size_t i = 0; i < screen.size(); ++i) {
        if (screen[i] != '\x1b' || i + 1 == screen.size() || screen[i + 1] != '[') {
            if (screen[i] != '\r') text += screen[i];
            continue;
        }
        std::size_t end = i + 2;
        while (end < screen.size() && !(screen[end] >= 0x40 && screen[end] <= 0x7E)) ++end;
        if (end < screen.size() && screen[end] == 'C') text.append(std::stoul("0" + screen.substr(i + 2, end - i - 2)), ' ');
        i = end;
    }
    return text;
}

TEST(Windows, TooFewArgumentsPrintsUsageAndExitsWithOne) {
    const struct {
        const char* program;
        std::string banner;
    } cases[] = {{BRELPACK_EXE, encoder_banner}, {BRELSPLIT_EXE, decoder_banner}};
    for (const auto& c : cases) {
        scratch_dir dir;
        const run_result result = run_windows(c.program, dir.path(), {});
        EXPECT_EQ(result.out, crlf(c.banner + "\nNot enought parameters\nPress any key...")) << c.program;
        EXPECT_EQ(result.status, 1) << c.program;
        EXPECT_TRUE(dir.listing().empty()) << c.program;
    }
}

TEST(Windows, RoundTripKeepsBackslashNamesAndBinaryBytes) {
    scratch_dir dir;
    std::filesystem::create_directories(dir / "src/sub");
    std::filesystem::create_directories(dir / "dst/sub");
    const std::string binary("line\r\nfeed\n\x1a\0end", 15);
    write_file(dir / "src/a.txt", "text\n");
    write_file(dir / "src/sub/b.bin", binary);
    ASSERT_EQ(run_windows(BRELPACK_EXE, dir / "src", {"..\\dst\\packed.viv", "a.txt", "sub\\b.bin"}).status, 0);
    EXPECT_EQ(read_file(dir / "dst/packed.viv"), make_archive({{"a.txt", "text\n"}, {"sub\\b.bin", binary}}));

    const run_result result = run_windows(BRELSPLIT_EXE, dir / "dst", {"packed.viv"});
    EXPECT_EQ(result.out, crlf(decoder_banner + "\na.txt\nsub\\b.bin\n\nDecoded!\nPress any key..."));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(dir / "dst/a.txt"), "text\n");
    EXPECT_EQ(read_file(dir / "dst/sub/b.bin"), binary);
}

TEST(Windows, RefusesDrivesRootsSharesClimbsAndDevices) {
    scratch_dir dir;
    std::filesystem::create_directories(dir / "work");
    write_file(dir / "work/a.viv", make_archive({{"C:x", "1"}, {"\\x", "2"}, {"\\\\host\\share\\x", "3"},
                                                  {"a\\..\\..\\x", "4"}, {"CON", "5"}, {"nul.txt", "6"}, {"ok", "7"}}));
    const run_result result = run_windows(BRELSPLIT_EXE, dir / "work", {"a.viv"});
    EXPECT_EQ(result.err,
              crlf("brelsplit: a.viv: entry 1 \"C:x\": a name with a drive letter would be written outside the working folder\n"
              "brelsplit: a.viv: entry 2 \"\\x\": an absolute name would be written outside the working folder\n"
              "brelsplit: a.viv: entry 3 \"\\\\host\\share\\x\": an absolute name would be written outside the working folder\n"
              "brelsplit: a.viv: entry 4 \"a\\..\\..\\x\": a name with a \"..\" part could be written outside the working folder\n"
              "brelsplit: a.viv: entry 5 \"CON\": the name is that of a device\n"
              "brelsplit: a.viv: entry 6 \"nul.txt\": the name is that of a device\n"));
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(dir.listing(), (std::vector<std::string>{"work", "work/a.viv", "work/ok"}));
}

TEST(Windows, KeyWaitOnTheConsoleEndsWithOneKeyAndEchoesIt) {
    const struct {
        std::vector<std::string> arguments;
        std::string key;
        std::string echo;
        int status;
    } cases[] = {{{}, "x", "x", 1}, {{"out.viv", "in"}, "\x03", "", 0}};  // wine's console shows no glyph for 0x03
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in", "data");
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.begin(), {WINE_LOADER, BRELPACK_EXE});
        terminal_run run(dir.path(), arguments, wine_environment, true);
        const std::string prompt = "Press any key...";
        const auto prompt_shown = [&] { return visible_text(run.screen_after()).ends_with(prompt); };
        for (int i = 0; i < 100 && !prompt_shown(); ++i) continue;
        ASSERT_TRUE(prompt_shown()) << visible_text(run.screen_after());
        run.press(c.key);
        EXPECT_EQ(run.finish(), c.status);
        EXPECT_TRUE(visible_text(run.screen_after()).ends_with(prompt + c.echo)) << visible_text(run.screen_after());
    }
}

}  // namespace
