// File-system primitives on POSIX systems.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "file_system.hpp"

namespace brel::file_system {

namespace {

file_identity identity_of(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// What look_up and look_up_open tell of a file from its status.
int take_status(const struct stat& status, std::uint64_t& size, bool& regular) {
    if (S_ISDIR(status.st_mode)) return EISDIR;
    size = static_cast<std::uint64_t>(status.st_size);
    regular = S_ISREG(status.st_mode);
    return 0;
}

}  // namespace

int look_up(const char* path, std::uint64_t& size, bool& regular) {
    struct stat status;
    return stat(path, &status) != 0 ? errno : take_status(status, size, regular);
}

int look_up_open(int file, std::uint64_t& size, bool& regular, file_identity& identity) {
    struct stat status;
    if (fstat(file, &status) != 0) return errno;
    identity = identity_of(status);
    return take_status(status, size, regular);
}

int open_for_reading(const char* path, int& file) {
    // A folder opens for reading here; reading it fails with EISDIR.
    file = ::open(path, O_RDONLY | O_CLOEXEC);
    return file < 0 ? errno : 0;
}

int create_new(const char* path, int& file) {
    file = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    return file < 0 ? errno : 0;
}

int create_unnamed(const char* folder, int& file) {
    file = ::open(folder, O_RDWR | O_TMPFILE | O_CLOEXEC, 0666);
    return file < 0 ? errno : 0;
}

int name_unnamed(int file, const char* path) {
    // Through /proc any user may link the file; AT_EMPTY_PATH does without /proc but needs privilege.
    const std::string self = "/proc/self/fd/" + std::to_string(file);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno != ENOENT) return errno;
    return linkat(file, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0 ? 0 : errno;
}

int reserve(int file, std::uint64_t size) {
    // fallocate, not posix_fallocate: where the file system can't reserve, the latter writes zeros
    // over the whole length instead, which costs what the reservation was to save.
    int result;
    do result = fallocate(file, 0, 0, static_cast<off_t>(size));
    while (result != 0 && errno == EINTR);
    if (result == 0) return 0;
    return errno == EOPNOTSUPP || errno == ENOSYS ? unsupported_error : errno;
}

namespace {

// The read-only mapping whose lost pages are stood in for by zeros, and whether that happened.
std::byte* guarded_start = nullptr;
std::size_t guarded_length = 0;
std::uintptr_t page_size = 4096;
volatile std::sig_atomic_t cut_short = 0;

// Touching a page of a mapped file past the file's end raises SIGBUS. When another program cuts the
// archive short under us, that page is replaced by one of zeros and the loss noted, so the reader
// carries on to a check of mapping_cut_short() instead of dying.
extern "C" void stand_in_for_lost_page(int, siginfo_t* info, void*) {
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const auto start = reinterpret_cast<std::uintptr_t>(guarded_start);
    if (guarded_start != nullptr && at >= start && at - start < guarded_length) {
        void* page = reinterpret_cast<void*>(at & ~(page_size - 1));
        if (mmap(page, page_size, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED) {
            cut_short = 1;
            return;
        }
    }
    // Any other bus error: the default action, once this handler returns and the access is retried.
    signal(SIGBUS, SIG_DFL);
}

}  // namespace

int map_file(int file, std::size_t size, bool writable, std::byte*& memory) {
    // A file that is only read is read in ahead, in one go, rather than a page fault at a time.
    const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* mapped = mmap(nullptr, size, protection, writable ? MAP_SHARED : MAP_SHARED | MAP_POPULATE, file, 0);
    if (mapped == MAP_FAILED) return errno;
    memory = static_cast<std::byte*>(mapped);
    if (!writable) {
        page_size = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        guarded_start = memory;
        guarded_length = size;
        struct sigaction handler {};
        handler.sa_sigaction = stand_in_for_lost_page;
        handler.sa_flags = SA_SIGINFO;
        sigemptyset(&handler.sa_mask);
        sigaction(SIGBUS, &handler, nullptr);
    }
    return 0;
}

bool mapping_cut_short() { return cut_short != 0; }

int open_for_rewrite(const char* path, std::uint64_t size, const file_identity& source, int& file,
                     std::uint64_t& old_size) {
    static const rlim_t size_limit = [] {
        rlimit limit{};
        return getrlimit(RLIMIT_FSIZE, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
    }();
    // Non-blocking, so a pipe with no reader is refused rather than waited on.
    file = ::open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) return errno;
    struct stat status;
    if (fstat(file, &status) != 0) return errno;
    old_size = static_cast<std::uint64_t>(status.st_size);
    const bool fits = S_ISREG(status.st_mode) && size <= old_size && identity_of(status) != source &&
                      static_cast<std::uint64_t>(status.st_blocks) * 512 >= old_size &&
                      (size_limit == RLIM_INFINITY || size <= size_limit);
    return fits ? 0 : EAGAIN;
}

int truncate_file(int file, std::uint64_t size) { return ftruncate(file, static_cast<off_t>(size)) == 0 ? 0 : errno; }

int open_for_writing(const char* path, int& file) {
    file = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    return file < 0 ? errno : 0;
}

std::int64_t read_some(int file, std::byte* destination, std::size_t size, std::byte* spare) {
    if (spare == nullptr) return ::read(file, destination, size);
    iovec pieces[2] = {{destination, size}, {spare, 1}};
    return readv(file, pieces, 2);
}

std::int64_t write_some(int file, const std::byte* source, std::size_t size) { return ::write(file, source, size); }

int seek_end(int file, std::uint64_t& size) {
    const off_t end = lseek(file, 0, SEEK_END);
    if (end < 0) return errno;
    size = static_cast<std::uint64_t>(end);
    return 0;
}

int seek_start(int file) { return lseek(file, 0, SEEK_SET) < 0 ? errno : 0; }

int close_file(int file) {
    // After EINTR the descriptor is gone all the same on Linux; only a real error counts.
    return ::close(file) == 0 || errno == EINTR ? 0 : errno;
}

int examine(const char* path, existing_link links, replace_target& target) {
    target.path = path;
    struct stat status;
    if (lstat(path, &status) != 0) {
        target.kind = replace_target::nothing;
        return errno == ENOENT ? 0 : errno;
    }
    if (S_ISLNK(status.st_mode) && links == existing_link::write_through) {
        // A plain create writes through a symbolic link; so does this, by replacing what it leads
        // to. A link that leads nowhere is replaced itself, as if nothing stood there.
        char* resolved = realpath(path, nullptr);
        if (resolved == nullptr) {
            target.kind = replace_target::nothing;
            return 0;
        }
        target.path = resolved;
        std::free(resolved);
        if (stat(target.path.c_str(), &status) != 0) return errno;
    }
    target.kind = S_ISREG(status.st_mode)   ? replace_target::regular_file
                  : S_ISDIR(status.st_mode) ? replace_target::folder
                                            : replace_target::other;
    target.mode = status.st_mode & 07777;
    target.owner = status.st_uid;
    target.group = status.st_gid;
    return 0;
}

int carry_over(int file, const replace_target& replaced) {
    // Asked once: the mode a plain create gives, and who we are.
    static const mode_t created_mode = [] {
        const mode_t mask = umask(0);
        umask(mask);
        return 0666 & ~mask;
    }();
    static const uid_t user = geteuid();
    static const gid_t group = getegid();
    if (replaced.mode != created_mode && fchmod(file, static_cast<mode_t>(replaced.mode)) != 0) return errno;
    // Only the superuser may give a file away; for anyone else the new file stays theirs.
    if (replaced.owner != user || replaced.group != group) {
        [[maybe_unused]] const int ignored = fchown(file, replaced.owner, replaced.group);
    }
    return 0;
}

int move_over(const char* from, const char* to) { return rename(from, to) == 0 ? 0 : errno; }

void remove_file(const char* path) { unlink(path); }

std::byte* allocate_zeroed(std::size_t length) {
    // Anonymous memory comes zeroed, so nothing has to fill it. Huge pages (MADV_HUGEPAGE) were
    // measured: on a virtual machine that hands free memory back to its host they come from memory
    // the host has to provide again, and packing took two to four times as long.
    void* memory = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<std::byte*>(memory);
}

void release(std::byte* memory, std::size_t length) {
    if (memory == guarded_start) guarded_start = nullptr;
    munmap(memory, length);
}

bool is_separator(char byte) { return byte == '/'; }

void report_oversized_writes() {
    static const bool ignored = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    (void)ignored;
}

}  // namespace brel::file_system
