// Whole-file reads and writes for both programs. Every function returns 0 on success or an error code:
// the system's error number, or one of the codes below; describe_error turns either into a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

namespace brel {

// The file no longer holds the number of bytes it was measured to hold.
inline constexpr int size_changed_error = -1;

const char* describe_error(int error);

// An archive image: one zero-filled heap buffer, released with free.
struct free_deleter {
    void operator()(std::byte* bytes) const { std::free(bytes); }
};
using image_buffer = std::unique_ptr<std::byte[], free_deleter>;

// Null when the memory can't be had. Zero-filled without touching pages the system hands out zeroed.
image_buffer allocate_image(std::size_t size);

// The size of the file at path, found by seeking to its end. A directory is refused.
int measure_file(const char* path, std::uint64_t& size);

// Reads the file at path into destination, which must be exactly as long as the file still is.
int read_file_into(const char* path, std::span<std::byte> destination);

// Reads the whole file at path into a new image.
int read_whole_file(const char* path, image_buffer& image, std::size_t& size);

// What replace_file does with a symbolic link that stands at the path.
enum class existing_link {
    write_through,  // as a plain create would: the file it leads to gets the bytes
    replace,        // the link itself is replaced, so a name can't lead anywhere through it
};

// Writes bytes as the new content of path, leaving whatever stood there untouched unless the write
// completes: the bytes go to a new file beside it, which then replaces it. An existing file keeps its
// permissions; a new one gets those of a plain create. A folder is never replaced.
int replace_file(const char* path, std::span<const std::byte> bytes, existing_link links);

}  // namespace brel
