// File-system primitives on Windows, through the C runtime's descriptors and the wide Win32 calls: a
// name reaches the system as the user gave it, whatever the ANSI code page holds, and of any length.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <initializer_list>
#include <cerrno>
#include <string>
#include <utility>

#include "file_system.hpp"
#include "file_system_windows.hpp"
#include "unicode_text.hpp"

namespace brel::file_system {

std::wstring wide(std::string_view text) {
    const std::u16string utf16 = utf16_from_utf8(text);
    return std::wstring(utf16.begin(), utf16.end());
}

std::string from_wide(std::wstring_view text) { return utf8_from_utf16(std::u16string(text.begin(), text.end())); }

std::wstring system_path(std::string_view path) {
    const std::wstring given = wide(path);
    if (given.starts_with(L"\\\\?\\")) return given;
    // Made whole as the plain form would make it (dots and blanks that end a part dropped, "." and ".."
    // resolved), so the long form, which is taken as it stands, names the same file.
    std::wstring whole(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(given.c_str(), static_cast<DWORD>(whole.size()), whole.data(), nullptr);
        if (length < whole.size()) {
            whole.resize(length);
            break;
        }
        whole.resize(length);
    }
    // A path that can't be made whole is left for the call to report.
    const std::u16string long_form = long_path_form(std::u16string(whole.begin(), whole.end()));
    return long_form.empty() ? given : std::wstring(long_form.begin(), long_form.end());
}

// The Windows errors that have an errno value the portable code asks about, as that value; any other
// keeps its own code and the system's own text.
io_error from_windows(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
        return io_error::system(ENOENT);
    case ERROR_ACCESS_DENIED:
        return io_error::system(EACCES);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return io_error::system(EEXIST);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return io_error::system(ENOSPC);
    case ERROR_NOT_SAME_DEVICE:
        return io_error::system(EXDEV);
    case ERROR_FILENAME_EXCED_RANGE:
        return io_error::system(ENAMETOOLONG);
    case ERROR_DIRECTORY:
        return io_error::system(ENOTDIR);
    default:
        return io_error::platform(error);
    }
}

io_error last_windows_error() { return from_windows(GetLastError()); }

namespace {

io_error failed() { return last_system_error(); }

DWORD attributes_of(const std::string& path) { return GetFileAttributesW(system_path(path).c_str()); }

bool is_folder(const char* path) {
    const DWORD attributes = attributes_of(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

io_result<file_status> status_of_handle(HANDLE handle) {
    file_status status;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        status.kind = file_status::other;  // a device, a console, a pipe
        return status;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) return last_windows_error();
    const DWORD attributes = information.dwFileAttributes;
    status.kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? file_status::link
                  : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0  ? file_status::folder
                                                                  : file_status::regular_file;
    status.size = (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    status.links = information.nNumberOfLinks;
    status.mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    status.identity = {information.dwVolumeSerialNumber,
                       (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
    // In 100-nanosecond steps; Windows keeps no time of the last change of anything else.
    const FILETIME written = information.ftLastWriteTime;
    status.modified = static_cast<std::int64_t>((std::uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime) * 100;
    return status;
}

HANDLE open_handle(const std::string& path, DWORD access, DWORD flags) {
    return CreateFileW(system_path(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// A new descriptor for the handle, which it then owns; the handle is closed should that fail. Files
// are opened through Win32 rather than the runtime's _wopen, which refuses names of MAX_PATH or more.
io_result<owned_file> descriptor_for(HANDLE handle, int flags) {
    if (handle == INVALID_HANDLE_VALUE) return last_windows_error();
    const int file = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (file >= 0) return owned_file(file);
    CloseHandle(handle);
    return failed();
}

// `flags` says whether a link is followed; nothing there is `nothing`, not an error.
io_result<file_status> look_up_path(const std::string& path, DWORD flags) {
    const HANDLE handle = open_handle(path, 0, flags);
    if (handle == INVALID_HANDLE_VALUE) {
        const io_error error = last_windows_error();
        if (error.is(ENOENT)) return file_status{};
        return error;
    }
    io_result<file_status> status = status_of_handle(handle);
    CloseHandle(handle);
    return status;
}

// Another program often holds a file for a moment (a virus scanner reading a new file, an indexer, a
// game with its archive open), and opening or replacing it then fails. `attempt` (true once it has
// worked) is made again while it fails with one of the errors given, waiting longer each time, for
// about four seconds in all; the last error stays the thread's last error.
template <typename Attempt>
bool patiently(std::initializer_list<DWORD> transient, Attempt attempt) {
    constexpr DWORD patience_ms = 4000;
    for (DWORD waited = 0, pause = 10;; pause = std::min<DWORD>(pause * 2, 500)) {
        if (attempt()) return true;
        const DWORD error = GetLastError();
        if (std::find(transient.begin(), transient.end(), error) == transient.end() || waited >= patience_ms) {
            SetLastError(error);
            return false;
        }
        Sleep(pause);
        waited += pause;
    }
}

}  // namespace

io_error owned_file::close() {
    if (descriptor_ < 0) return {};
    return _close(std::exchange(descriptor_, -1)) == 0 ? io_error() : failed();
}

// A folder is held by its path here: there is nothing to let go.
io_error folder::close() {
    owned_ = false;
    return {};
}

folder working_folder() { return {-1, "", false}; }

io_result<folder> open_folder(const std::string& path) {
    const DWORD attributes = attributes_of(path.empty() ? "." : path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_windows_error();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return io_error::system(ENOTDIR);
    return folder(-1, path, false);
}

io_result<folder> open_folder_inside(const folder& parent, const std::string& name) {
    const std::string path = parent.path() + name;
    const DWORD attributes = attributes_of(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_windows_error();
    // A symbolic link, a junction or any other reparse point could lead anywhere.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return io_error::kind::link_in_path;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return io_error::system(ENOTDIR);
    return folder(-1, path + "\\", false);
}

io_result<file_identity> folder_identity(const folder& open) {
    const io_result<file_status> status = look_up_path(open.path().empty() ? "." : open.path(), 0);
    if (!status) return status.error();
    return status->identity;
}

io_result<file_status> look_up(const char* path) { return look_up_path(path, 0); }

io_result<file_status> look_up_in(const folder& place, const char* name) {
    return look_up_path(place.path() + name, FILE_FLAG_OPEN_REPARSE_POINT);
}

io_result<file_status> look_up_open(int file) { return status_of_handle(reinterpret_cast<HANDLE>(_get_osfhandle(file))); }

// Windows keeps no file systems of made-up files.
bool generated_when_read(const char*) { return false; }

// Nothing a path names waits for a writer here.
io_result<owned_file> open_for_reading(const char* path, bool) {
    // The runtime refuses a folder with "Permission denied"; say what it is instead.
    if (is_folder(path)) return io_error::system(EISDIR);
    // Shared as the runtime's _open shares a file.
    return descriptor_for(CreateFileW(system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                          _O_RDONLY | _O_BINARY);
}

io_result<owned_file> open_existing_for_writing(const char* path, const file_status&, bool append) {
    // Through Win32, so that devices such as NUL and CON open as they do for a plain create. An existing
    // file only: nothing is made should the name be gone meanwhile.
    const std::wstring name = system_path(path);
    HANDLE handle = INVALID_HANDLE_VALUE;
    patiently({ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION}, [&] {
        handle = CreateFileW(name.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle != INVALID_HANDLE_VALUE;
    });
    return descriptor_for(handle, _O_BINARY | (append ? _O_APPEND : 0));
}

// The C runtime does not tell whether a standard stream appends.
int standard_stream_appending_to(const file_identity&) { return -1; }

// A file with no name left is not reached through a path on Windows.
io_result<owned_file> share_standard_stream(const file_identity&) { return owned_file(); }

io_result<std::string> resolve_links(const char* path) {
    const HANDLE handle = open_handle(path, 0, 0);
    if (handle == INVALID_HANDLE_VALUE) return last_windows_error();
    // In the long form, \\?\..., which takes a path of any length.
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length;
    while ((length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED)) >=
           buffer.size()) {
        buffer.resize(length);
    }
    const io_error error = length == 0 ? last_windows_error() : io_error();
    CloseHandle(handle);
    if (error) return error;
    return from_wide(std::wstring_view(buffer).substr(0, length));
}

io_result<owned_file> create_new(const folder& place, const char* name) {
    return descriptor_for(CreateFileW(system_path(place.path() + name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
                          _O_RDWR | _O_BINARY);
}

// Windows has no files without a name: a new file gets a hidden name from the start.
io_result<owned_file> create_unnamed(const folder&) { return io_error::kind::unsupported; }
io_error link_unnamed(int, const folder&, const char*) { return io_error::kind::unsupported; }
io_error check_writable(const folder& place, const char* name, const file_status&) {
    const DWORD attributes = attributes_of(place.path() + name);
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_windows_error();
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? io_error::system(EACCES) : io_error();
}

io_result<owned_file> open_for_rewrite(const folder&, const char*, const file_status&) {
    return io_error::kind::unsupported;
}
io_error reserve(int, std::uint64_t) { return io_error::kind::unsupported; }

// The runtime refuses a count above INT_MAX: a transfer moves at most this much, as a short one may.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

std::int64_t read_some(int file, std::byte* destination, std::size_t size) {
    return _read(file, destination, static_cast<unsigned>(std::min(size, largest_transfer)));
}

std::int64_t write_some(int file, const std::byte* source, std::size_t size) {
    return _write(file, source, static_cast<unsigned>(std::min(size, largest_transfer)));
}

std::int64_t read_at(int file, std::byte* destination, std::size_t size, std::uint64_t offset) {
    if (_lseeki64(file, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
    return read_some(file, destination, size);
}

std::int64_t write_at(int file, const std::byte* source, std::size_t size, std::uint64_t offset) {
    if (_lseeki64(file, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
    return write_some(file, source, size);
}

// Bytes are read and written here.
std::int64_t move_some(int, std::uint64_t*, int, std::size_t, bool&) {
    errno = ENOSYS;
    return -1;
}

// A read-only file can't be replaced at all, so there is nothing of the old file's to keep.
io_error carry_over(int, const folder&, const char*, const file_status&) { return {}; }

io_error move_over(const folder& place, const char* from, const char* to, const file_status& expected) {
    // Windows can't swap two names: the name is looked at just before the move. A move to a name that
    // was free fails, rather than replace, should anything have taken it since.
    const io_result<file_status> standing = look_up_in(place, to);
    if (!standing) return standing.error();
    if (!standing->same_bytes_as(expected)) return io_error::kind::name_changed;
    const DWORD replace = expected.kind == file_status::nothing ? 0 : MOVEFILE_REPLACE_EXISTING;
    // Replacing a file that another program holds open fails as if it were not allowed.
    const std::wstring source = system_path(place.path() + from), target = system_path(place.path() + to);
    if (patiently({ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_LOCK_VIOLATION}, [&] {
            return MoveFileExW(source.c_str(), target.c_str(), replace | MOVEFILE_WRITE_THROUGH) != 0;
        })) {
        return {};
    }
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? io_error::kind::name_changed : from_windows(error);
}

io_error remove_file(const folder& place, const char* name) {
    return DeleteFileW(system_path(place.path() + name).c_str()) ? io_error() : last_windows_error();
}

io_error flush_data(int file) {
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file))) ? io_error() : last_windows_error();
}

void start_write_back(int, std::uint64_t, std::uint64_t) {}

// Files are never written over where they stand here (open_for_rewrite is not offered).
std::size_t in_place_limit(const folder&) { return 0; }

// Committed memory comes zeroed.
std::byte* allocate_zeroed(std::size_t length) {
    return static_cast<std::byte*>(VirtualAlloc(nullptr, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

void release(std::byte* memory, std::size_t) { VirtualFree(memory, 0, MEM_RELEASE); }

// Windows has no file-size limit signal.
void report_oversized_writes() {}
std::uint64_t file_size_limit() { return UINT64_MAX; }

}  // namespace brel::file_system

namespace brel {

std::string describe_platform_error(unsigned code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string reason = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    // The system's texts end with a full stop and a line break; an error line has neither.
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ' || reason.back() == '.')) {
        reason.pop_back();
    }
    return reason;
}

}  // namespace brel
