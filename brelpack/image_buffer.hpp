// A stream read whole: one buffer as long as the stream, zero-filled memory of its own, taken from the
// system directly so that a large one is given back at once.
#pragma once

#include <cstddef>
#include <span>

namespace brel {

class image_buffer {
public:
    image_buffer() = default;
    // Zero-filled memory of its own. Check allocated(): the memory may not be there to have.
    explicit image_buffer(std::size_t size);
    ~image_buffer();
    image_buffer(image_buffer&& other) noexcept;
    image_buffer& operator=(image_buffer&& other) noexcept;

    bool allocated() const { return data_ != nullptr; }
    std::span<std::byte> bytes() const { return {data_, size_}; }
    // Keeps the first `size` bytes only (the memory stays as it was taken).
    void shorten(std::size_t size);

private:
    std::byte* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t taken_ = 0;  // the length the memory was taken with, to give it back
};

}  // namespace brel
