// Moving bytes between files and memory: whole transfers made of pieces, each piece checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "io_error.hpp"

namespace brel {

// Reads from `offset` on until `into` is full or the file ends; `count` says how many bytes came.
io_error read_fully(int file, std::uint64_t offset, std::span<std::byte> into, std::size_t& count);

// Writes all the bytes, at the start of a new file when `write_back_early`: each piece is then sent on
// to the disk at once, for a flush to come.
io_error write_exactly(int file, std::span<const std::byte> source, bool write_back_early = false);

// Copies exactly `length` bytes from `from` into `to` at its position, which is `to_offset` in that file:
// from `from` at *from_offset (moved on by the bytes copied) or, when that is null, from its position.
// The bytes move in pieces, inside the system where it can move them, else through a buffer of a fixed
// size. A `from` that ends first is refused with size_changed. `write_back_early`: as for write_exactly.
// `copied`, when given, counts the bytes copied, all of them or not.
io_error copy_exactly(int from, std::uint64_t* from_offset, int to, std::uint64_t to_offset, std::uint64_t length,
                      bool write_back_early = false, std::uint64_t* copied = nullptr);

// Copies what is left of `from` from its position into `to` at its position, at most `most` bytes: one
// more is too_large. `copied` counts the bytes copied.
io_error copy_to_end(int from, int to, std::uint64_t most, std::uint64_t& copied);

// Whether the file ends at `offset`: a file that has grown past it is refused with size_changed.
io_error check_ends_at(int file, std::uint64_t offset);

}  // namespace brel
