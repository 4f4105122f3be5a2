// Runs one command in a new session (so the key wait returns at once) with standard input from
// /dev/null and standard output to a file or /dev/null, and prints "seconds peak_kib" of that run.
// A launcher this small keeps the child's peak resident memory its own: a fork of a large parent
// would count the parent's pages too.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: measure OUTPUT-FILE|- COMMAND [ARGUMENT...]\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        const int input = open("/dev/null", O_RDONLY);
        const int output = std::strcmp(argv[1], "-") == 0 ? open("/dev/null", O_WRONLY)
                                                          : open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(input, STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%.6f %ld\n", elapsed.count(), usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
