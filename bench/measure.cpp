// Runs one command in a new session (so the key wait returns at once) with standard input from
// /dev/null or a given file and standard output to a file or /dev/null, and prints "seconds peak_kib peak_anonymous_kib"
// of that run. A launcher this small keeps the child's peak resident memory its own: a fork of a large
// parent would count the parent's pages too. The resident size counts the pages of mapped files as well;
// the anonymous part (memory of the program's own) is sampled from /proc every 2 ms.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

long anonymous_kib(pid_t process) {
    std::ifstream status("/proc/" + std::to_string(process) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("RssAnon:", 0) == 0) return std::stol(line.substr(8));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Standard input is /dev/null, or the file (a named pipe, say) given with -i.
    const char* input_path = "/dev/null";
    if (argc > 2 && std::strcmp(argv[1], "-i") == 0) {
        input_path = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: measure [-i INPUT-FILE] OUTPUT-FILE|- COMMAND [ARGUMENT...]\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        const int input = open(input_path, O_RDONLY);
        const int output = std::strcmp(argv[1], "-") == 0 ? open("/dev/null", O_WRONLY)
                                                          : open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(input, STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    long peak_anonymous = 0;
    while (wait4(child, &status, WNOHANG, &usage) == 0) {
        peak_anonymous = std::max(peak_anonymous, anonymous_kib(child));
        usleep(2000);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%.6f %ld %ld\n", elapsed.count(), usage.ru_maxrss, peak_anonymous);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
