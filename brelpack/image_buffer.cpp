#include "image_buffer.hpp"

#include <algorithm>
#include <utility>

#include "file_system.hpp"

namespace brel {

// Memory of its own is never asked for with length 0, which the system refuses.
image_buffer::image_buffer(std::size_t size)
    : data_(file_system::allocate_zeroed(std::max<std::size_t>(size, 1))), size_(size), taken_(std::max<std::size_t>(size, 1)) {}

image_buffer::~image_buffer() {
    if (data_ != nullptr) file_system::release(data_, taken_);
}

image_buffer::image_buffer(image_buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)), taken_(std::exchange(other.taken_, 0)) {}

image_buffer& image_buffer::operator=(image_buffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(taken_, other.taken_);
    return *this;
}

void image_buffer::shorten(std::size_t size) { size_ = std::min(size, size_); }

}  // namespace brel
