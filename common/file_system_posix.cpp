// File-system primitives on POSIX systems. The calls that only Linux has (files without a name,
// reserving room, moving bytes between files, telling a file system's kind) sit behind
// BREL_LINUX_CALLS, each with what any POSIX system does instead, so the same code builds and works
// elsewhere.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif
#if defined(__linux__)
#include <sys/xattr.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "file_system.hpp"

#if defined(__linux__) && !defined(BREL_GENERIC_POSIX)
#define BREL_LINUX_CALLS 1
#else
#define BREL_LINUX_CALLS 0
#endif

namespace brel::file_system {

namespace {

io_error failed() { return last_system_error(); }

file_status status_of(const struct stat& status) {
    file_status taken;
    taken.kind = S_ISREG(status.st_mode)   ? file_status::regular_file
                 : S_ISDIR(status.st_mode) ? file_status::folder
                 : S_ISLNK(status.st_mode)  ? file_status::link
                 : S_ISFIFO(status.st_mode) ? file_status::pipe
                                            : file_status::other;
    taken.size = static_cast<std::uint64_t>(status.st_size);
    taken.links = static_cast<std::uint64_t>(status.st_nlink);
    taken.mode = status.st_mode & 07777;
    taken.owner = status.st_uid;
    taken.group = status.st_gid;
    taken.identity = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
    taken.modified = std::int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec;
    taken.changed = std::int64_t{status.st_ctim.tv_sec} * 1000000000 + status.st_ctim.tv_nsec;
    return taken;
}

// A stat-like call's result: the status, `nothing` when no file is there, or the error.
io_result<file_status> take(int result, const struct stat& raw) {
    if (result == 0) return status_of(raw);
    if (errno == ENOENT) return file_status{};
    return failed();
}

// An open call's result: the file, or the error.
io_result<owned_file> opened_file(int descriptor) {
    if (descriptor < 0) return failed();
    return owned_file(descriptor);
}

// A folder is opened only to look up, make, link, rename and remove files in it, which takes no more
// than the search permission a plain create needs: a folder the user may write in but not list (a drop
// box, mode 0733) is used as it would be. Where there is no such way to open a folder, it is read.
#if BREL_LINUX_CALLS && defined(O_PATH)
constexpr int folder_access = O_PATH;
#elif defined(O_SEARCH)
constexpr int folder_access = O_SEARCH;
#else
constexpr int folder_access = O_RDONLY;
#endif

}  // namespace

io_error owned_file::close() {
    if (descriptor_ < 0) return {};
    // After EINTR the descriptor is gone all the same on Linux; only a real error counts.
    return ::close(std::exchange(descriptor_, -1)) == 0 || errno == EINTR ? io_error() : failed();
}

io_error folder::close() {
    if (!std::exchange(owned_, false)) return {};
    return ::close(std::exchange(handle_, AT_FDCWD)) == 0 || errno == EINTR ? io_error() : failed();
}

folder working_folder() { return {AT_FDCWD, "", false}; }

io_result<folder> open_folder(const std::string& path) {
    // The working folder is used as it is: opening it anew would need more than the right to search it.
    if (path.empty()) return working_folder();
    const int handle = ::open(path.c_str(), folder_access | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0) return failed();
    return folder(handle, path, true);
}

io_result<folder> open_folder_inside(const folder& parent, const std::string& name) {
    // O_DIRECTORY refuses a link even where O_NOFOLLOW alone would open the link itself (O_PATH does).
    const int handle = ::openat(parent.handle(), name.c_str(), folder_access | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (handle < 0) {
        const int error = errno;
        struct stat status;
        if ((error == ENOTDIR || error == ELOOP) &&
            fstatat(parent.handle(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
            return io_error::kind::link_in_path;
        }
        return io_error::system(error);
    }
    return folder(handle, parent.path() + name + "/", true);
}

io_result<file_identity> folder_identity(const folder& open) {
    struct stat raw;
    if ((open.handle() == AT_FDCWD ? stat(".", &raw) : fstat(open.handle(), &raw)) != 0) return failed();
    return status_of(raw).identity;
}

io_result<file_status> look_up(const char* path) {
    struct stat raw;
    const int result = stat(path, &raw);
    return take(result, raw);
}

io_result<file_status> look_up_in(const folder& place, const char* name) {
    struct stat raw;
    const int result = fstatat(place.handle(), name, &raw, AT_SYMLINK_NOFOLLOW);
    return take(result, raw);
}

io_result<file_status> look_up_open(int file) {
    struct stat raw;
    if (fstat(file, &raw) != 0) return failed();
    return status_of(raw);
}

bool generated_when_read(const char* path) {
#if BREL_LINUX_CALLS
    // The kernel's own file systems, whose files are written as they are read: proc, sysfs, debugfs,
    // tracefs, configfs, securityfs and both kinds of cgroup.
    constexpr unsigned long generated[] = {0x9FA0,     0x62656572, 0x64626720, 0x74726163,
                                           0x62656570, 0x73636673, 0x27E0EB,   0x63677270};
    struct statfs system;
    if (statfs(path, &system) != 0) return false;
    return std::find(std::begin(generated), std::end(generated), static_cast<unsigned long>(system.f_type)) !=
           std::end(generated);
#else
    // The file system's kind can't be told here: such a file is measured as any other.
    (void)path;
    return false;
#endif
}

io_result<owned_file> open_for_reading(const char* path, bool no_waiting) {
    // A folder opens for reading here; reading it fails with EISDIR.
    return opened_file(no_waiting ? ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY) : ::open(path, O_RDONLY | O_CLOEXEC));
}

namespace {

// Opens `name` in the folder as a plain create opens it, with O_CREAT: of a file that exists the kernel
// then asks what it asks a plain create (on Linux, fs.protected_regular and fs.protected_fifos first),
// which an open without O_CREAT is not asked. Without O_TRUNC nothing is emptied. The name was just seen
// to lead to `seen`; should it lead elsewhere by now, the result is name_changed, and a file this open
// made because the name was gone (empty, ours, and with no permissions, as none were given; it may have
// the number of the one removed) is removed again while the name leads to it. Where links are followed
// the folder is the working folder.
io_result<owned_file> open_as_created(int folder, const char* name, int flags, const file_status& seen) {
    owned_file file(::openat(folder, name, flags | O_CREAT | O_NOCTTY | O_CLOEXEC, 0));
    if (!file.is_open()) return failed();
    struct stat opened;
    if (fstat(file.get(), &opened) != 0) return failed();
    const file_status now = status_of(opened);
    if (seen.kind == file_status::regular_file ? now.same_bytes_as(seen)
                                               : now.kind == seen.kind && now.identity == seen.identity) {
        return file;
    }
    const bool made_here = now.kind == file_status::regular_file && now.size == 0 && now.mode == 0 &&
                           now.owner == geteuid() && now.links == 1;
    std::string made = name;
    bool found = (flags & O_NOFOLLOW) != 0;
    if (made_here && !found) {
        if (io_result<std::string> resolved = resolve_links(name)) {
            made = std::move(*resolved);
            found = true;
        }
    }
    struct stat standing;
    if (made_here && found && fstatat(folder, made.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0 &&
        status_of(standing).identity == now.identity) {
        unlinkat(folder, made.c_str(), 0);
    }
    file.close();
    return io_error::kind::name_changed;
}

}  // namespace

io_result<owned_file> open_existing_for_writing(const char* path, const file_status& seen, bool append) {
    // A pipe is waited on once the kernel has let a plain create open it.
    return open_as_created(AT_FDCWD, path, O_WRONLY | (append ? O_APPEND : 0), seen);
}

int standard_stream_appending_to(const file_identity& file) {
    for (int stream = 0; stream <= 2; ++stream) {
        struct stat raw;
        const int flags = fcntl(stream, F_GETFL);
        if (flags >= 0 && (flags & O_APPEND) != 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(stream, &raw) == 0 &&
            status_of(raw).identity == file) {
            return stream;
        }
    }
    return -1;
}

io_result<owned_file> share_standard_stream(const file_identity& file) {
    for (int stream = 0; stream <= 2; ++stream) {
        struct stat raw;
        const int flags = fcntl(stream, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(stream, &raw) == 0 && status_of(raw).identity == file) {
            return opened_file(fcntl(stream, F_DUPFD_CLOEXEC, 0));
        }
    }
    return owned_file();
}

io_result<std::string> resolve_links(const char* path) {
    char* real = realpath(path, nullptr);
    if (real == nullptr) return failed();
    std::string resolved = real;
    std::free(real);
    return resolved;
}

io_result<owned_file> create_new(const folder& place, const char* name) {
    return opened_file(::openat(place.handle(), name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
}

io_result<owned_file> create_unnamed(const folder& place) {
#if BREL_LINUX_CALLS && defined(O_TMPFILE)
    const int file = ::openat(place.handle(), ".", O_RDWR | O_TMPFILE | O_CLOEXEC, 0666);
    if (file >= 0) return owned_file(file);
    // Where the kernel or the file system has no such files, the caller names its file from the start.
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOSYS) return io_error::kind::unsupported;
    return failed();
#else
    (void)place;
    return io_error::kind::unsupported;
#endif
}

io_error link_unnamed(int file, const folder& place, const char* name) {
#if BREL_LINUX_CALLS && defined(O_TMPFILE)
    // Through /proc any user may link the file; AT_EMPTY_PATH does without /proc but needs privilege.
    const std::string self = "/proc/self/fd/" + std::to_string(file);
    if (linkat(AT_FDCWD, self.c_str(), place.handle(), name, AT_SYMLINK_FOLLOW) == 0) return {};
    if (errno != ENOENT) return failed();
#ifdef AT_EMPTY_PATH
    if (linkat(file, "", place.handle(), name, AT_EMPTY_PATH) == 0) return {};
    return failed();
#endif
#endif
    (void)file, (void)place, (void)name;
    return io_error::kind::unsupported;
}

io_error check_writable(const folder& place, const char* name, const file_status& seen) {
    // Asked by opening it so; non-blocking, so that a pipe put at the name meanwhile is never waited on.
    // A pipe without a reader (ENXIO) or a file another program holds a lease on (EWOULDBLOCK) stops the
    // open only once everything a plain create asks has been allowed.
    const io_error error = open_as_created(place.handle(), name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK, seen).error();
    return error.is(ENXIO) || error.is(EWOULDBLOCK) ? io_error() : error;
}

io_result<owned_file> open_for_rewrite(const folder& place, const char* name, const file_status& seen) {
    // Non-blocking, so that a pipe standing at the name is never waited on.
    return open_as_created(place.handle(), name, O_RDWR | O_NOFOLLOW | O_NONBLOCK, seen);
}

io_error reserve(int file, std::uint64_t size) {
#if BREL_LINUX_CALLS
    // fallocate, not posix_fallocate: where the file system can't reserve, the latter writes zeros
    // over the whole length instead, which costs what the reservation was to save.
    int result;
    do result = fallocate(file, 0, 0, static_cast<off_t>(size));
    while (result != 0 && errno == EINTR);
    if (result == 0) return {};
    return errno == EOPNOTSUPP || errno == ENOSYS ? io_error::kind::unsupported : failed();
#else
    (void)file, (void)size;
    return io_error::kind::unsupported;
#endif
}

std::int64_t read_some(int file, std::byte* destination, std::size_t size) { return ::read(file, destination, size); }

std::int64_t write_some(int file, const std::byte* source, std::size_t size) { return ::write(file, source, size); }

std::int64_t read_at(int file, std::byte* destination, std::size_t size, std::uint64_t offset) {
    return ::pread(file, destination, size, static_cast<off_t>(offset));
}

std::int64_t write_at(int file, const std::byte* source, std::size_t size, std::uint64_t offset) {
    return ::pwrite(file, source, size, static_cast<off_t>(offset));
}

#if BREL_LINUX_CALLS
namespace {

// The pipe that bytes pass through from one file to another when neither end is a pipe itself: splice
// moves them between a pipe and anything else, so two calls do what read and write would, with no copy
// in this process's memory.
struct relay_pipe {
    int read_end = -1, write_end = -1;
    std::size_t capacity = 0;

    bool ready() {
        if (read_end >= 0) return true;
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return false;
        read_end = ends[0];
        write_end = ends[1];
        // Larger than the 64 KiB a pipe starts with, for fewer calls; what the system allows.
        const int size = fcntl(write_end, F_SETPIPE_SZ, 1 << 20);
        capacity = static_cast<std::size_t>(size > 0 ? size : 1 << 16);
        return true;
    }
    // What is still in it belongs to a move that failed.
    void drop() {
        ::close(read_end);
        ::close(write_end);
        read_end = write_end = -1;
    }
};
relay_pipe relay;

}  // namespace
#endif

std::int64_t move_some(int from, std::uint64_t* from_offset, int to, std::size_t size, bool& writing) {
    writing = false;
#if BREL_LINUX_CALLS
    loff_t at = from_offset != nullptr ? static_cast<loff_t>(*from_offset) : 0;
    loff_t* const where = from_offset != nullptr ? &at : nullptr;
    // Straight across when one end is a pipe; EINVAL when neither is (or an end can't be spliced).
    const ssize_t moved = splice(from, where, to, nullptr, size, SPLICE_F_MOVE);
    if (moved >= 0 || errno != EINVAL) {
        if (moved > 0 && from_offset != nullptr) *from_offset = static_cast<std::uint64_t>(at);
        // One call both reads and writes. Reading a pipe fails with nothing but an interruption, so from
        // a pipe any other failure is the write's; into one, what only a write meets tells which.
        writing = moved < 0 && errno != EINTR && errno != EAGAIN &&
                  (from_offset == nullptr || errno == ENOSPC || errno == EFBIG || errno == EDQUOT || errno == EPIPE ||
                   errno == EROFS);
        return moved;
    }
    // Through the relay, but only from a file read at an offset: bytes taken from a stream would be lost
    // should the second half fail.
    if (from_offset == nullptr || !relay.ready()) {
        errno = ENOSYS;
        return -1;
    }
    const ssize_t taken = splice(from, &at, relay.write_end, nullptr, std::min(size, relay.capacity), SPLICE_F_MOVE);
    if (taken <= 0) {
        if (taken < 0 && errno == EINVAL) errno = ENOSYS;
        return taken;
    }
    ssize_t given = 0;
    while (given < taken) {
        const ssize_t count = splice(relay.read_end, nullptr, to, nullptr, static_cast<std::size_t>(taken - given), SPLICE_F_MOVE);
        if (count > 0) {
            given += count;
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            const int error = count == 0 ? EIO : errno;
            relay.drop();
            if (given > 0) break;  // those went through; the next call meets the error again
            writing = error != EINVAL;
            errno = error == EINVAL ? ENOSYS : error;
            return -1;
        }
    }
    *from_offset += static_cast<std::uint64_t>(given);
    return given;
#else
    (void)from, (void)from_offset, (void)to, (void)size;
    errno = ENOSYS;
    return -1;
#endif
}

io_error carry_over(int file, const folder& place, const char* name, const file_status& replaced) {
    static const uid_t user = geteuid();
    static const gid_t group = getegid();
    // Only the superuser may give a file away; for anyone else the new file stays theirs. The owner
    // goes first: a change of owner clears the set-user-ID and set-group-ID bits.
    if (replaced.owner != user || replaced.group != group) {
        [[maybe_unused]] const int ignored = fchown(file, replaced.owner, replaced.group);
    }
#if BREL_LINUX_CALLS
    // A folder's default ACL gives a new file entries of its own (another user allowed to read it, say):
    // the new file takes the old one's access ACL instead, or none where it had none.
    constexpr const char* access_acl = "system.posix_acl_access";
    const std::string old_path =
        place.handle() == AT_FDCWD ? std::string(name) : "/proc/self/fd/" + std::to_string(place.handle()) + "/" + name;
    // A file system that keeps no ACLs (FAT, exFAT) has none to carry over, nor to take away.
    const auto keeps_none = [] { return errno == ENODATA || errno == EOPNOTSUPP || errno == ENOTSUP; };
    std::vector<char> acl(512);
    ssize_t length;
    while ((length = lgetxattr(old_path.c_str(), access_acl, acl.data(), acl.size())) < 0 && errno == ERANGE &&
           acl.size() < (std::size_t{1} << 20)) {
        acl.resize(acl.size() * 4);
    }
    if (length >= 0) {
        if (fsetxattr(file, access_acl, acl.data(), static_cast<std::size_t>(length), 0) != 0) return failed();
    } else if (!keeps_none()) {
        return failed();
    } else if (fremovexattr(file, access_acl) != 0 && !keeps_none()) {
        return failed();
    }
#else
    (void)place, (void)name;
#endif
    // The mode is set whatever the new file was given: a folder's default ACL, not the umask, decides
    // that where there is one, so the umask alone can't tell whether they already agree.
    if (fchmod(file, static_cast<mode_t>(replaced.mode)) == 0) return {};
    // A file system that keeps no modes (FAT through FUSE) refuses the change but shows every file with the
    // same mode: where the new file already shows the old one's, there is nothing to carry over.
    const io_error error = failed();
    struct stat raw;
    return fstat(file, &raw) == 0 && status_of(raw).mode == replaced.mode ? io_error() : error;
}

namespace {

bool still_as_expected(const folder& place, const char* name, const file_status& expected) {
    const io_result<file_status> standing = look_up_in(place, name);
    return standing && standing->same_bytes_as(expected);
}

// Puts `from` at `to` only if nothing stands there, in one step. A hard link cannot take a name that
// is taken; where the file system has none, the name is looked at just before a rename.
io_error move_to_free_name(const folder& place, const char* from, const char* to) {
#if BREL_LINUX_CALLS && defined(RENAME_NOREPLACE)
    if (renameat2(place.handle(), from, place.handle(), to, RENAME_NOREPLACE) == 0) return {};
    if (errno == EEXIST) return io_error::kind::name_changed;
    if (errno != EINVAL && errno != ENOSYS) return failed();
#endif
    if (linkat(place.handle(), from, place.handle(), to, 0) == 0) return remove_file(place, from);
    if (errno == EEXIST) return io_error::kind::name_changed;
    if (!still_as_expected(place, to, file_status{})) return io_error::kind::name_changed;
    return renameat(place.handle(), from, place.handle(), to) == 0 ? io_error() : failed();
}

}  // namespace

io_error move_over(const folder& place, const char* from, const char* to, const file_status& expected) {
    if (expected.kind == file_status::nothing) return move_to_free_name(place, from, to);
#if BREL_LINUX_CALLS && defined(RENAME_EXCHANGE)
    // Renaming over a file makes ext4 push the new file's data towards the disk at once (its guard for
    // programs that rewrite without fsync): the caller has flushed it already. Swapping the two names
    // is as atomic, does not do that, and shows what was taken out of the name before it is removed.
    if (renameat2(place.handle(), from, place.handle(), to, RENAME_EXCHANGE) == 0) {
        if (still_as_expected(place, from, expected)) return remove_file(place, from);
        // Another program put something else at the name meanwhile: it goes back, untouched.
        if (renameat2(place.handle(), from, place.handle(), to, RENAME_EXCHANGE) != 0) return failed();
        return io_error::kind::name_changed;
    }
    if (errno == ENOENT) return io_error::kind::name_changed;
    // A file system that can't swap: a plain rename, once the name has been looked at.
#endif
    if (!still_as_expected(place, to, expected)) return io_error::kind::name_changed;
    return renameat(place.handle(), from, place.handle(), to) == 0 ? io_error() : failed();
}

io_error remove_file(const folder& place, const char* name) {
    return unlinkat(place.handle(), name, 0) == 0 ? io_error() : failed();
}

io_error flush_data(int file) {
    int result;
    do result = fdatasync(file);
    while (result != 0 && errno == EINTR);
    return result == 0 ? io_error() : failed();
}

void start_write_back(int file, std::uint64_t offset, std::uint64_t length) {
#if BREL_LINUX_CALLS
    sync_file_range(file, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)file, (void)offset, (void)length;
#endif
}

std::size_t in_place_limit(const folder& place) {
#if BREL_LINUX_CALLS
    struct statfs system;
    if ((place.handle() == AT_FDCWD ? statfs(".", &system) : fstatfs(place.handle(), &system)) != 0) return 0;
    // Only file systems known to write over data where it stands, and without shared extents: ext2,
    // ext3 and ext4, and those held in memory. Copy-on-write ones (btrfs, bcachefs, ZFS), log-structured
    // ones (f2fs), XFS (whose extents may be shared with a copy) and all others are left out.
    constexpr unsigned long ext_family = 0xEF53, tmpfs = 0x01021994, ramfs = 0x858458F6;
    const auto type = static_cast<unsigned long>(system.f_type);
    if (type != ext_family && type != tmpfs && type != ramfs) return 0;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return std::min({page, static_cast<std::size_t>(system.f_bsize), largest_in_place_rewrite});
#else
    // The file system's kind can't be told here.
    (void)place;
    return 0;
#endif
}

std::byte* allocate_zeroed(std::size_t length) {
    // Anonymous memory comes zeroed, so nothing has to fill it. Huge pages (MADV_HUGEPAGE) were
    // measured: on a virtual machine that hands free memory back to its host they come from memory
    // the host has to provide again, and packing took two to four times as long.
    void* memory = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<std::byte*>(memory);
}

void release(std::byte* memory, std::size_t length) {
    munmap(memory, length);
}

void report_oversized_writes() {
    static const bool ignored = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    (void)ignored;
}

std::uint64_t file_size_limit() {
    static const std::uint64_t limit = [] {
        rlimit limit;
        return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX
                                                                                      : static_cast<std::uint64_t>(limit.rlim_cur);
    }();
    return limit;
}

}  // namespace brel::file_system

namespace brel {

std::string describe_platform_error(unsigned code) { return "error " + std::to_string(code); }

}  // namespace brel
