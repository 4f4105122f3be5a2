// Reading the files brelpack is given to pack.
#pragma once

#include <cstdint>

#include "image_buffer.hpp"
#include "io_error.hpp"

namespace brel {

// What the input at path is: a regular file, measured by what the system records, or anything else (a
// pipe, a device, a file of /proc or /sys, whose recorded size says nothing of what a read gives), a
// stream, whose bytes are known only once it is read to its end, from its one opening: a named pipe's
// writer may be gone by a second one, and its bytes with it. A folder is refused.
io_error measure_input(const char* path, std::uint64_t& size, bool& stream);

// Reads the stream at path to its end into `whole`.
io_error read_input_whole(const char* path, image_buffer& whole);

}  // namespace brel
