// The key wait on a real terminal: the program runs on a pseudo-terminal that is its controlling
// terminal and its standard output, with standard input from /dev/null.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "support.hpp"

using namespace brel_test;

namespace {

class terminal_run {
public:
    terminal_run(const scratch_dir& dir, std::vector<std::string> arguments) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("pty");
        const std::string slave_name = ptsname(master_);
        slave_ = open(slave_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        tcgetattr(slave_, &before_);
        arguments.insert(arguments.begin(), BRELPACK_PATH);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        child_ = fork();
        if (child_ == 0) {
            setsid();
            const int terminal = open(slave_name.c_str(), O_RDWR);  // becomes the controlling terminal
            dup2(terminal, STDOUT_FILENO);
            dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
            if (chdir(dir.path().c_str()) == 0) execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~terminal_run() {
        if (child_ > 0) kill(child_, SIGKILL), waitpid(child_, nullptr, 0);
        close(master_);
        close(slave_);
    }

    // What the program has shown: everything until `expected` appears and output pauses, or until
    // output pauses when nothing is expected; at most five seconds.
    std::string screen_after(const std::string& expected = "") {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
             std::chrono::steady_clock::now() < end;) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 50) == 1) {
                char chunk[256];
                const ssize_t count = read(master_, chunk, sizeof chunk);
                if (count > 0) screen_.append(chunk, static_cast<std::size_t>(count));
            } else if (screen_.find(expected) != std::string::npos) {
                break;
            }
        }
        return screen_;
    }

    // True once the program has taken the terminal out of line mode, that is, it waits for a key.
    bool waits_for_key() {
        for (int i = 0; i < 200; ++i) {
            termios now;
            tcgetattr(slave_, &now);
            if ((now.c_lflag & ICANON) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void press(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
    void send(int signal_number) { kill(child_, signal_number); }

    // Exit status, or minus the signal that ended the program.
    int finish() {
        int status = 0;
        waitpid(child_, &status, 0);
        child_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    bool modes_restored() {
        termios after;
        tcgetattr(slave_, &after);
        return after.c_iflag == before_.c_iflag && after.c_oflag == before_.c_oflag &&
               after.c_lflag == before_.c_lflag && after.c_cflag == before_.c_cflag &&
               std::equal(std::begin(after.c_cc), std::end(after.c_cc), std::begin(before_.c_cc));
    }

    // Bytes typed at the terminal that nobody has read.
    int unread_input() {
        termios raw = before_;
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        int count = 0;
        ioctl(slave_, FIONREAD, &count);
        tcsetattr(slave_, TCSANOW, &before_);
        return count;
    }

private:
    int master_ = -1, slave_ = -1;
    pid_t child_ = -1;
    termios before_{};
    std::string screen_;
};

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
        terminal_run run(dir, c.arguments);
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

}  // namespace
