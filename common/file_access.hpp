// Whole-file reads and writes for both programs. Every function returns 0 on success or an error code:
// the system's error number, or one of the codes below; describe_error turns either into a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace brel {

// The file no longer holds the number of bytes it was measured to hold.
inline constexpr int size_changed_error = -1;

const char* describe_error(int error);

// An archive image: one zero-filled buffer as long as the archive, with one spare byte after it (a
// read asks for one byte more than the file should hold, to see that it ends where it was measured).
class image_buffer {
public:
    image_buffer() = default;
    // Check allocated(): the memory may not be there to have.
    explicit image_buffer(std::size_t size);
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

// Reads the file at path into destination, which must be exactly as long as the file still is and be
// followed by one writable spare byte (an image's bytes are): the read asks for one byte more, so
// that a file that grew is noticed without a second call.
int read_file_into(const char* path, std::span<std::byte> destination);

// Reads the whole file at path into a new image.
int read_whole_file(const char* path, image_buffer& image);

// What replace_file does with a symbolic link that stands at the path.
enum class existing_link {
    write_through,  // as a plain create would: the file it leads to gets the bytes; the swap is atomic
    replace,        // the link itself is replaced, so a name can't lead anywhere through it; the old
                    // name is removed just before the new file takes it
};

// Writes bytes as the new content of path, leaving whatever stood there untouched unless the write
// completes: the bytes go to a new file beside it, which then replaces it. An existing file keeps its
// permissions; a new one gets those of a plain create. A folder is never replaced.
int replace_file(const char* path, std::span<const std::byte> bytes, existing_link links);

// Writes bytes as a new file at path. When nothing stands there, the file is created in place (and
// removed again if it can't be written whole); otherwise what stands there is replaced as by
// replace_file with existing_link::replace.
int write_file(const char* path, std::span<const std::byte> bytes);

}  // namespace brel
