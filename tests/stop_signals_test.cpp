// A stop removes the hidden file in progress, however often its name is armed anew.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "file_system.hpp"
#include "stop_signals.hpp"

namespace brel {
namespace {

// A file is armed again and again, as a new file's hidden name is between its steps; a stop at any instant
// must find it armed and remove it.
TEST(StopSignals, AStopAtAnyInstantRemovesTheArmedFile) {
    char folder_path[] = "/tmp/brel-stop-XXXXXX";
    ASSERT_NE(mkdtemp(folder_path), nullptr);
    io_result<file_system::folder> opened = file_system::open_folder(std::string(folder_path) + "/");
    ASSERT_TRUE(opened);
    const file_system::folder& place = *opened;
    const std::string hidden = std::string(folder_path) + "/.brel-armed";
    int left_behind = 0;
    for (int run = 0; run < 40; ++run) {
        ::close(::open(hidden.c_str(), O_CREAT | O_WRONLY, 0600));
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            stop_signals::take_over();
            stop_signals::remove_on_stop(place, ".brel-armed", nullptr);
            [[maybe_unused]] const auto told = write(ready[1], "", 1);
            for (;;) stop_signals::remove_on_stop(place, ".brel-armed", nullptr);
        }
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);  // armed from here on
        ::close(ready[0]), ::close(ready[1]);
        usleep(static_cast<useconds_t>(run * 97 % 1500));
        kill(child, SIGINT);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
        left_behind += ::unlink(hidden.c_str()) == 0;
    }
    EXPECT_EQ(left_behind, 0);
    opened->close();
    rmdir(folder_path);
}

}  // namespace
}  // namespace brel
