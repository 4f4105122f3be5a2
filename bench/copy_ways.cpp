// Times the one-copy ways this system offers to move a file's bytes into another at the offsets the
// archive format gives (nothing aligned), page cache warm, each way in turn for several rounds:
//
//     copy_ways SOURCE WORK_FOLDER [ROUNDS]
//
// Each way copies SOURCE from byte 0 into a new file at byte 136 (as brelpack puts an input after a
// short directory), and from byte 136 into a new file at byte 0 (as brelsplit writes an entry out).
// Prints one line per way and direction: the median seconds and the peak resident memory of the copy.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr std::size_t piece = std::size_t{1} << 20;
constexpr std::size_t window = std::size_t{8} << 20;

void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

void read_write(int in, off_t from, int out, off_t to, std::size_t length) {
    static std::vector<char> buffer(piece);
    for (std::size_t done = 0; done < length;) {
        const ssize_t got = pread(in, buffer.data(), std::min(piece, length - done), from + done);
        if (got <= 0) fail("pread");
        if (pwrite(out, buffer.data(), got, to + done) != got) fail("pwrite");
        done += got;
    }
}

void copy_range(int in, off_t from, int out, off_t to, std::size_t length) {
    for (std::size_t done = 0; done < length;) {
        loff_t in_at = from + done, out_at = to + done;
        const ssize_t moved = copy_file_range(in, &in_at, out, &out_at, std::min(length - done, std::size_t{1} << 30), 0);
        if (moved <= 0) fail("copy_file_range");
        done += moved;
    }
}

// A window of the source mapped at a time (its start page-aligned), written from there.
void mapped_window(int in, off_t from, int out, off_t to, std::size_t length) {
    const long page = sysconf(_SC_PAGESIZE);
    for (std::size_t done = 0; done < length;) {
        const off_t at = from + done, aligned = at - at % page;
        const std::size_t span = std::min(window, length - done) + (at - aligned);
        void* map = mmap(nullptr, span, PROT_READ, MAP_SHARED, in, aligned);
        if (map == MAP_FAILED) fail("mmap");
        madvise(map, span, MADV_SEQUENTIAL);
        const std::size_t count = span - (at - aligned);
        if (pwrite(out, static_cast<char*>(map) + (at - aligned), count, to + done) != static_cast<ssize_t>(count)) fail("pwrite");
        munmap(map, span);
        done += count;
    }
}

void spliced(int in, off_t from, int out, off_t to, std::size_t length) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) fail("pipe");
    fcntl(pipe_ends[1], F_SETPIPE_SZ, 1 << 20);
    for (std::size_t done = 0; done < length;) {
        loff_t in_at = from + done, out_at = to + done;
        const ssize_t in_pipe = splice(in, &in_at, pipe_ends[1], nullptr, std::min(length - done, piece), SPLICE_F_MOVE);
        if (in_pipe <= 0) fail("splice in");
        for (ssize_t left = in_pipe; left > 0;) {
            const ssize_t moved = splice(pipe_ends[0], nullptr, out, &out_at, left, SPLICE_F_MOVE);
            if (moved <= 0) fail("splice out");
            left -= moved;
        }
        done += in_pipe;
    }
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

long peak_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: copy_ways SOURCE WORK_FOLDER [ROUNDS]\n");
        return 2;
    }
    const int source = open(argv[1], O_RDONLY);
    struct stat status {};
    if (source < 0 || fstat(source, &status) != 0) fail(argv[1]);
    const std::string target = std::string(argv[2]) + "/copy_ways.out";
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    constexpr off_t unaligned = 136;
    const std::size_t length = static_cast<std::size_t>(status.st_size) - unaligned;

    struct way {
        const char* name;
        std::function<void(int, off_t, int, off_t, std::size_t)> copy;
        std::vector<double> in_seconds, out_seconds;
    };
    std::vector<way> ways = {{"read/write in 1 MiB pieces", read_write, {}, {}},
                             {"copy_file_range", copy_range, {}, {}},
                             {"8 MiB mapped windows, write", mapped_window, {}, {}},
                             {"splice through a pipe", spliced, {}, {}}};
    for (int round = 0; round <= rounds; ++round) {  // round 0 warms the cache and is not counted
        for (way& each : ways) {
            for (const bool into_archive : {true, false}) {
                unlink(target.c_str());
                const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                if (out < 0) fail("open");
                const auto start = std::chrono::steady_clock::now();
                if (into_archive) each.copy(source, 0, out, unaligned, length);
                else each.copy(source, unaligned, out, 0, length);
                const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                close(out);
                if (round > 0) (into_archive ? each.in_seconds : each.out_seconds).push_back(seconds);
            }
        }
    }
    unlink(target.c_str());
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    for (const way& each : ways) {
        std::printf("%-30s into an archive at 136: %.3f s   out of an archive at 136: %.3f s\n", each.name,
                    median(each.in_seconds), median(each.out_seconds));
    }
    std::printf("peak resident memory of the whole run: %ld KiB\n", peak_kib());
}
