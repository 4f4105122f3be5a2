// Whole-file reads and writes for both programs. Every function returns 0 on success or an error code:
// the system's error number, or one of the codes below; describe_error turns either into a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace brel {

// The file no longer holds the number of bytes it was measured to hold.
inline constexpr int size_changed_error = -1;
// The archive was cut short while its bytes were being used.
inline constexpr int archive_changed_error = -3;

const char* describe_error(int error);

// Which file an open file is, enough to tell whether two names lead to the same one. All zero where
// that is not known.
struct file_identity {
    std::uint64_t device = 0, inode = 0;
    bool operator==(const file_identity&) const = default;
};

// An archive image: one buffer as long as the archive. Its memory is either zero-filled memory of its
// own or the archive file's pages, mapped.
class image_buffer {
public:
    image_buffer() = default;
    // Zero-filled memory of its own. Check allocated(): the memory may not be there to have.
    explicit image_buffer(std::size_t size);
    // Takes over a mapping of `size` bytes.
    static image_buffer adopt(std::byte* mapping, std::size_t size);
    ~image_buffer();
    image_buffer(image_buffer&& other) noexcept;
    image_buffer& operator=(image_buffer&& other) noexcept;

    bool allocated() const { return data_ != nullptr; }
    std::span<std::byte> bytes() const { return {data_, size_}; }

private:
    std::byte* data_ = nullptr;
    std::size_t size_ = 0;
};

// The size of the file at path: of a regular file what the system records, of anything else where
// a seek to its end lands. A folder is refused.
int measure_file(const char* path, std::uint64_t& size);

// Reads the file at path into destination, which must be exactly as long as the file still is; a
// file that is now shorter or longer is refused with size_changed_error.
int read_file_into(const char* path, std::span<std::byte> destination);

// The whole archive at path as an image: the file's own pages, mapped, where it can be, else read
// into memory of its own. `identity` tells which file it is. Should another program cut the file
// short while the image is in use, bytes read from the lost part come back as 0 and
// image_cut_short() says so; writes from them fail with archive_changed_error.
int read_archive(const char* path, image_buffer& image, file_identity& identity);
bool image_cut_short();

// A new file that takes the place of path once it is complete, and only then; a plain create's rules
// otherwise: a symbolic link at path is written through, a device or pipe is written into, a folder
// is refused. An existing file's permissions (and owner, where allowed) are kept; a new one gets
// those of a plain create.
//
// The bytes are filled in memory that is the new file's own pages where the file system can reserve
// room for them, so a full disk or a file-size limit shows at start(); elsewhere in memory of its own,
// written out at finish(). Until it is named at finish() the file has no name at all where the system
// allows, so a process that dies part-way leaves nothing behind.
class file_replacement {
public:
    file_replacement() = default;
    // Abandons the file unless finish() succeeded.
    ~file_replacement();
    file_replacement(const file_replacement&) = delete;
    file_replacement& operator=(const file_replacement&) = delete;

    // Makes `size` zero bytes ready to fill, for the new content of path.
    int start(const char* path, std::size_t size);
    std::span<std::byte> bytes() const { return image_.bytes(); }
    // Puts the bytes in path's place.
    int finish();

private:
    std::string target_;     // where the file goes (where a link at path leads)
    std::string temporary_;  // the new file's name until it takes the target's place; empty while it has none
    int file_ = -1;
    bool into_device_ = false;  // the target is a device or pipe, written into at finish()
    bool mapped_ = false;
    image_buffer image_;
};

// Writes bytes as a new file at path. When nothing stands there, the file is created in place (and
// removed again if it can't be written whole). A regular file already there with room for the bytes
// is written over where it stands, unless it is `source`, the file the bytes come from. Anything else
// is replaced by a new file written beside it; a symbolic link is replaced, never followed. Whatever
// stood at path is kept when the write fails, except that a rewrite in place torn by
// archive_changed_error can't be undone.
int write_file(const char* path, std::span<const std::byte> bytes, const file_identity& source = {});

}  // namespace brel
