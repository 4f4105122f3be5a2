// Moving bytes between files and memory: whole transfers made of pieces, each piece checked.
#pragma once

#include <cstddef>
#include <span>

#include "io_error.hpp"

namespace brel {

// Reads exactly as many bytes as destination holds; a file that ends first is refused with
// size_changed.
io_error read_exactly(int file, std::span<std::byte> destination);

// Reads exactly as many bytes as destination holds and makes sure the file ends there: a file that
// is now shorter or longer is refused with size_changed.
io_error read_to_end(int file, std::span<std::byte> destination);

// Writes all the bytes, at the start of a new file when `write_back_early`: each piece is then sent on
// to the disk at once, for a flush to come. A write from memory that is gone (a mapped archive cut
// short) fails with archive_changed.
io_error write_exactly(int file, std::span<const std::byte> source, bool write_back_early = false);

}  // namespace brel
