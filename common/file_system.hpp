// The file-system primitives that differ between platforms, one file per platform behind this header.
// Files are CRT file descriptors on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "io_error.hpp"
#include "io_result.hpp"
#include "path_syntax.hpp"

namespace brel {

// Which file an open file is, enough to tell whether two names lead to the same one. All zero where
// that is not known.
struct file_identity {
    std::uint64_t device = 0, inode = 0;
    bool operator==(const file_identity&) const = default;
};

namespace file_system {

// What the system records of a file.
struct file_status {
    enum { nothing, regular_file, folder, link, pipe, other } kind = nothing;  // pipe: a named one
    std::uint64_t size = 0;
    std::uint64_t links = 1;      // names the file has
    unsigned mode = 0, owner = 0, group = 0;
    file_identity identity;
    // When its bytes and when anything of it (a name, its length, its permissions) last changed, in
    // nanoseconds; what the system does not record stays 0.
    std::int64_t modified = 0, changed = 0;
    // Whether this is what `looked_at` saw: nothing again, or the same file with the same bytes as far as
    // the system tells (a file made anew may get the number of one just removed, not its times). A
    // rename changes a file's time of change, so that is not compared.
    bool same_bytes_as(const file_status& looked_at) const {
        return kind == looked_at.kind && (kind == nothing || (identity == looked_at.identity && size == looked_at.size &&
                                                              modified == looked_at.modified));
    }
    // Whether this is the same file as `other` and it has changed in nothing a reader sees since: its
    // bytes, as same_bytes_as tells, and its time of change too.
    bool same_bytes_and_status_as(const file_status& other) const {
        return kind == other.kind && identity == other.identity && size == other.size && modified == other.modified &&
               changed == other.changed;
    }
};

// An open file, closed when it goes unless closed before; a close whose result matters is made with
// close(). System calls take its descriptor, get(), which stays its own.
class owned_file {
public:
    owned_file() = default;
    explicit owned_file(int descriptor) : descriptor_(descriptor) {}
    owned_file(owned_file&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
    owned_file& operator=(owned_file&& other) noexcept {
        if (this != &other) {
            close();
            descriptor_ = std::exchange(other.descriptor_, -1);
        }
        return *this;
    }
    ~owned_file() { close(); }

    bool is_open() const { return descriptor_ >= 0; }
    int get() const { return descriptor_; }
    // Closes the file, if it is open; what the system said.
    io_error close();

private:
    int descriptor_ = -1;
};

// A folder that files are made in, looked up once: on POSIX systems an open folder, so that what its
// path leads to can't change under us, closed when it goes; on Windows its path. The working folder
// is one that owns nothing.
class folder {
public:
    folder(folder&& other) noexcept
        : handle_(other.handle_), path_(std::move(other.path_)), owned_(std::exchange(other.owned_, false)) {}
    folder& operator=(folder&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.handle_;
            path_ = std::move(other.path_);
            owned_ = std::exchange(other.owned_, false);
        }
        return *this;
    }
    ~folder() { close(); }

    // An open folder, or the working folder's stand-in.
    int handle() const { return handle_; }
    // "" for the working folder, else ending in a separator.
    const std::string& path() const { return path_; }
    // Lets the folder go, if it is one of ours.
    io_error close();

private:
    folder(int handle, std::string path, bool owned) : handle_(handle), path_(std::move(path)), owned_(owned) {}
    friend folder working_folder();
    friend io_result<folder> open_folder(const std::string& path);
    friend io_result<folder> open_folder_inside(const folder& parent, const std::string& name);

    int handle_;
    std::string path_;
    bool owned_;
};
folder working_folder();
// The folder at path, links followed (it is the user's own choice of place).
io_result<folder> open_folder(const std::string& path);
// The folder `name` inside `parent`, refused with link_in_path when it is a link of any kind.
io_result<folder> open_folder_inside(const folder& parent, const std::string& name);
// Which folder an open folder is.
io_result<file_identity> folder_identity(const folder& open);

// The status of the file at path, links followed; `nothing` when no file is there.
io_result<file_status> look_up(const char* path);
// The status of what stands at `name` in the folder, a link not followed.
io_result<file_status> look_up_in(const folder& place, const char* name);
io_result<file_status> look_up_open(int file);

// Whether the regular file at path is one the system makes up as it is read (those of /proc and /sys,
// say), whose recorded size (0, or a page) says nothing of what a read gives. False where that can't
// be told.
bool generated_when_read(const char* path);

// Opens an existing file for binary reading. A folder is refused with EISDIR, by the time it is read
// at the latest.
// `no_waiting`: a pipe or a device is opened without waiting for a writer or becoming the controlling
// terminal, for a look at what is there.
io_result<owned_file> open_for_reading(const char* path, bool no_waiting = false);

// Opens what stands at path for writing, as a plain create would but without creating or emptying
// anything: links are followed, a file the user may not write is refused, a pipe is waited on.
// Appending, writes go to the end of a regular file. A plain create refuses more than the file's
// permissions do: on Linux, under the system's fs.protected_regular and fs.protected_fifos settings,
// even the superuser is refused another user's file or pipe in a shared sticky folder such as /tmp.
// `seen` is what the path was just seen to lead to; where the system tells, a path that leads to another
// file by then, or to a regular file whose bytes have changed (as file_status::same_bytes_as tells), is name_changed.
io_result<owned_file> open_existing_for_writing(const char* path, const file_status& seen, bool append);
// The standard stream (0 to 2) that is the file of that identity opened for appending, or -1: a
// shell's ">>" redirection named again by a path such as /dev/stdout.
int standard_stream_appending_to(const file_identity& file);
// A descriptor of its own (none open when there is none) for the standard stream (0 to 2) that writes to the
// file of that identity: it shares the stream's position, so what the stream writes later follows what it writes.
io_result<owned_file> share_standard_stream(const file_identity& file);
// Where a followed link leads: the path of the file itself.
io_result<std::string> resolve_links(const char* path);

// Creates a file that must not exist yet in the folder, for binary reading and writing, with the permissions a plain create gives; EEXIST when anything stands at name.
io_result<owned_file> create_new(const folder& place, const char* name);

// Creates a file without a name in the folder, as create_new would; link_unnamed gives it a name
// once it is complete, so a process that dies before leaves nothing behind. `unsupported` where the
// system or the file system has no such files.
io_result<owned_file> create_unnamed(const folder& place);
io_error link_unnamed(int file, const folder& place, const char* name);

// Whether we may open the file `name` in the folder for writing, as a plain create would (what that
// refuses, and `seen`: as for open_existing_for_writing): EACCES if not.
io_error check_writable(const folder& place, const char* name, const file_status& seen);

// Opens the regular file `name` in the folder for reading and writing over its bytes, not through a link, not
// waiting on a pipe; refused and `seen` as for open_existing_for_writing.
io_result<owned_file> open_for_rewrite(const folder& place, const char* name, const file_status& seen);

// Gives the file `size` bytes, with the room for all of them taken now, so that nothing written into
// them later can fail for want of space. `unsupported` where the file system can't.
io_error reserve(int file, std::uint64_t size);

// A transfer of at most `size` bytes; the count moved, or -1 with errno set.
std::int64_t read_some(int file, std::byte* destination, std::size_t size);
std::int64_t write_some(int file, const std::byte* source, std::size_t size);
std::int64_t read_at(int file, std::byte* destination, std::size_t size, std::uint64_t offset);
std::int64_t write_at(int file, const std::byte* source, std::size_t size, std::uint64_t offset);

// Moves up to `size` bytes from one file to another without passing them through this process's
// memory: from `from` at *from_offset, which moves on by the count (from its position when that is
// null), into `to` at its position. The count moved, 0 at the end of `from`, or -1 with errno set;
// ENOSYS where the system can't move bytes between these two, and nothing was moved: they are then
// read and written. `writing` tells whether a failure was met writing `to` rather than reading `from`.
std::int64_t move_some(int from, std::uint64_t* from_offset, int to, std::size_t size, bool& writing);

// Gives a new file what a truncating rewrite of the replaced one, `name` in the folder, would have kept:
// its permissions (its ACL included), and its owner where we may.
io_error carry_over(int file, const folder& place, const char* name, const file_status& replaced);

// Puts `from` in the place of `to` in the folder in one step, but only while what stands at `to` is
// still what `expected` says (nothing, or that file): if another program has put something else
// there, that stays and the result is name_changed. Where the two names are swapped, `from` names
// the old file until it is removed, just after.
io_error move_over(const folder& place, const char* from, const char* to, const file_status& expected);
io_error remove_file(const folder& place, const char* name);

// Makes the file's bytes reach the disk before this returns.
io_error flush_data(int file);
// Starts writing those bytes of the file to the disk without waiting, so that a later flush_data has
// little left to wait for. Does nothing where the system can't.
void start_write_back(int file, std::uint64_t offset, std::uint64_t length);

// No file larger than this is written over where it stands, whatever the file system: a new file, its
// flush and a rename cost many times one small write, not a large one.
inline constexpr std::size_t largest_in_place_rewrite = 16 << 10;
// The largest file in the folder that may be written over where it stands: only where the file system
// writes data over its old place (not copy-on-write, so an overwrite needs no new room) and no more than
// one block and one page, which the device writes whole, so that neither a failed write nor a crash
// leaves the file part old, part new; nor more than largest_in_place_rewrite. 0 where that can't be known.
std::size_t in_place_limit(const folder& place);

// Zero-filled memory for a stream read whole, or nullptr; given back with release and the same length.
std::byte* allocate_zeroed(std::size_t length);
void release(std::byte* memory, std::size_t length);

// Makes writes past the file-size limit fail with an error instead of ending the process.
void report_oversized_writes();
// The largest file this process may write (its file-size limit), asked once.
std::uint64_t file_size_limit();

}  // namespace file_system
}  // namespace brel
