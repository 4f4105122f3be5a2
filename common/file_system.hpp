// The few file-system primitives that differ between platforms, one file per platform behind this
// header. Files are CRT file descriptors on both; every function returns 0 or an errno value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "file_access.hpp"

namespace brel::file_system {

// What the system records of the file at path: its size, and whether it is a regular file. A folder
// is refused with EISDIR.
int look_up(const char* path, std::uint64_t& size, bool& regular);

// The same of an open file, with its identity.
int look_up_open(int file, std::uint64_t& size, bool& regular, file_identity& identity);

// Opens an existing file for binary reading. A folder is refused with EISDIR, by the time it is read
// at the latest.
int open_for_reading(const char* path, int& file);

// Creates a file that must not exist yet, for binary reading and writing (a mapping needs both),
// with the permissions a plain create gives; EEXIST when anything, even a link, stands at path.
int create_new(const char* path, int& file);

// Creates a file without a name in the folder, as create_new would; name_unnamed gives it one once it
// is complete, so a process that dies before leaves nothing behind. An error where the system or the
// file system has no such files.
int create_unnamed(const char* folder, int& file);
int name_unnamed(int file, const char* path);

// Gives the file `size` bytes, with the room for all of them taken now, so that nothing written into
// them later can fail for want of space. unsupported_error where the file system can't.
int reserve(int file, std::uint64_t size);
inline constexpr int unsupported_error = -2;

// Maps the first `size` bytes of the file into memory, shared with the file; read-only ones are read
// in ahead. Given back with release. A read-only mapping of a file that another program cuts short
// does not end the process: the bytes lost read as 0 and mapping_cut_short() becomes true, and a
// write from them fails with EFAULT.
int map_file(int file, std::size_t size, bool writable, std::byte*& memory);
bool mapping_cut_short();

// Opens the regular file at path for writing over its bytes from the start, without emptying it, when
// `size` new bytes can go there without the file growing or needing new room: not through a link,
// not past its end, not into holes, not beyond the file-size limit, and not the file `source` (the
// bytes to write may be its own). Such a rewrite can't fail for want of space part-way. Anything else
// (or a platform without it) returns an error, and the caller replaces the file instead. old_size is
// what the file held.
int open_for_rewrite(const char* path, std::uint64_t size, const file_identity& source, int& file,
                     std::uint64_t& old_size);

// Cuts an open file down to `size` bytes.
int truncate_file(int file, std::uint64_t size);

// Opens an existing file that is not a regular one (a device, a pipe) for writing.
int open_for_writing(const char* path, int& file);

// A transfer of at most `size` bytes; the count moved, or -1 with errno set. A read given a spare
// byte asks for one byte more and puts it there, so that reaching a file's end costs no second call.
std::int64_t read_some(int file, std::byte* destination, std::size_t size, std::byte* spare = nullptr);
std::int64_t write_some(int file, const std::byte* source, std::size_t size);

int seek_end(int file, std::uint64_t& size);
int seek_start(int file);
int close_file(int file);

// What a replacement does with a symbolic link that stands at the path.
enum class existing_link {
    write_through,  // as a plain create would: the file it leads to gets the bytes; the swap is atomic
    replace,        // the link itself is replaced, so a name can't lead anywhere through it
};

// What stands at a path that is about to be replaced, and where the replacement goes.
struct replace_target {
    enum { nothing, regular_file, folder, other } kind = nothing;
    std::string path;                  // the path itself, or where a followed link leads
    unsigned mode = 0, owner = 0, group = 0;  // of an existing regular file, to carry over
};
int examine(const char* path, existing_link links, replace_target& target);

// Gives a new file what a truncating rewrite of the replaced one would have kept.
int carry_over(int file, const replace_target& replaced);

// Puts `from` in the place of `to`, replacing what stands there, in one step.
int move_over(const char* from, const char* to);
void remove_file(const char* path);

// Zero-filled memory for an image, or nullptr; given back with release and the same length, as a
// mapping is.
std::byte* allocate_zeroed(std::size_t length);
void release(std::byte* memory, std::size_t length);

// Whether the byte separates folders in a path.
bool is_separator(char byte);

// Makes writes past the file-size limit fail with an error instead of ending the process.
void report_oversized_writes();

}  // namespace brel::file_system
