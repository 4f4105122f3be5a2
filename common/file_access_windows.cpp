// File-system primitives on Windows, through the C runtime's descriptors and the ANSI Win32 calls, so
// names pass through byte for byte in the ANSI code page.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>

#include "file_system.hpp"

namespace brel::file_system {

namespace {

bool is_folder(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int errno_from(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    default:
        return EIO;
    }
}

// What look_up and look_up_open tell of a file from its status.
int take_status(const struct _stat64& status, std::uint64_t& size, bool& regular) {
    if ((status.st_mode & _S_IFDIR) != 0) return EISDIR;
    size = static_cast<std::uint64_t>(status.st_size);
    regular = (status.st_mode & _S_IFREG) != 0;
    return 0;
}

}  // namespace

int look_up(const char* path, std::uint64_t& size, bool& regular) {
    struct _stat64 status;
    return _stat64(path, &status) != 0 ? errno : take_status(status, size, regular);
}

int look_up_open(int file, std::uint64_t& size, bool& regular, file_identity& identity) {
    struct _stat64 status;
    if (_fstat64(file, &status) != 0) return errno;
    identity = {};  // not needed: no file is rewritten in place here
    return take_status(status, size, regular);
}

int open_for_reading(const char* path, int& file) {
    // The runtime refuses a folder with "Permission denied"; say what it is instead.
    if (is_folder(path)) return EISDIR;
    file = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    return file < 0 ? errno : 0;
}

int create_new(const char* path, int& file) {
    file = _open(path, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    return file < 0 ? errno : 0;
}

// The image stays in memory of its own here, and the new archive gets a name from the start: a file
// that is mapped can't be deleted or renamed over while it is, which replacing an output that is the
// archive itself needs.
int create_unnamed(const char*, int&) { return ENOSYS; }
int name_unnamed(int, const char*) { return ENOSYS; }
int reserve(int, std::uint64_t) { return unsupported_error; }
int map_file(int, std::size_t, bool, std::byte*&) { return ENOSYS; }
bool mapping_cut_short() { return false; }

// Windows replaces the file instead.
int open_for_rewrite(const char*, std::uint64_t, const file_identity&, int&, std::uint64_t&) { return ENOSYS; }

int truncate_file(int file, std::uint64_t size) { return _chsize_s(file, static_cast<__int64>(size)); }

int open_for_writing(const char* path, int& file) {
    file = _open(path, _O_WRONLY | _O_TRUNC | _O_BINARY | _O_NOINHERIT);
    return file < 0 ? errno : 0;
}

// The callers move at most 1 GiB at a time, which fits the runtime's unsigned count.
std::int64_t read_some(int file, std::byte* destination, std::size_t size, std::byte* spare) {
    const int count = _read(file, destination, static_cast<unsigned>(size));
    if (count < 0 || spare == nullptr || static_cast<std::size_t>(count) < size) return count;
    const int more = _read(file, spare, 1);
    return more < 0 ? more : count + more;
}

std::int64_t write_some(int file, const std::byte* source, std::size_t size) {
    return _write(file, source, static_cast<unsigned>(size));
}

int seek_end(int file, std::uint64_t& size) {
    const __int64 end = _lseeki64(file, 0, SEEK_END);
    if (end < 0) return errno;
    size = static_cast<std::uint64_t>(end);
    return 0;
}

int seek_start(int file) { return _lseeki64(file, 0, SEEK_SET) < 0 ? errno : 0; }

int close_file(int file) { return _close(file) == 0 ? 0 : errno; }

// Links are left to the system here: replacing a path replaces whatever entry stands at it.
int examine(const char* path, existing_link, replace_target& target) {
    target.path = path;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        target.kind = replace_target::nothing;
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : errno_from(error);
    }
    target.kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? replace_target::folder : replace_target::regular_file;
    return 0;
}

// A read-only file can't be replaced at all, so there is nothing of the old file's to keep.
int carry_over(int, const replace_target&) { return 0; }

int move_over(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : errno_from(GetLastError());
}

void remove_file(const char* path) { _unlink(path); }

// Committed memory comes zeroed.
std::byte* allocate_zeroed(std::size_t length) {
    return static_cast<std::byte*>(VirtualAlloc(nullptr, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

void release(std::byte* memory, std::size_t) { VirtualFree(memory, 0, MEM_RELEASE); }

// "C:name" lies in the current folder of drive C:, so the drive counts as a folder part too.
bool is_separator(char byte) { return byte == '/' || byte == '\\' || byte == ':'; }

// Windows has no file-size limit signal.
void report_oversized_writes() {}

}  // namespace brel::file_system
