#include "transfers.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "file_system.hpp"
#include "stop_signals.hpp"

namespace brel {

namespace {

namespace fs = file_system;

// Transfers go in pieces: a single call is capped (about 2 GiB on Linux and on Windows),
// and a run that is stopped should end after the piece in hand, not after a whole large file.
constexpr std::size_t piece_size = std::size_t{16} << 20;

}  // namespace

io_error read_exactly(int file, std::span<std::byte> destination) {
    std::size_t done = 0;
    while (done < destination.size()) {
        stop_signals::take_pending();
        const std::int64_t count =
            fs::read_some(file, destination.data() + done, std::min(destination.size() - done, piece_size));
        if (count < 0) {
            if (errno == EINTR) continue;
            return last_system_error();
        }
        if (count == 0) return io_error::kind::size_changed;
        done += static_cast<std::size_t>(count);
    }
    return {};
}

// The last read asks for one byte more than is left, into a spare byte, and a file read whole comes
// back short of that request.
io_error read_to_end(int file, std::span<std::byte> destination) {
    const std::size_t size = destination.size();
    std::size_t done = 0;
    for (;;) {
        stop_signals::take_pending();
        const std::size_t left = size - done;
        const bool last = left < piece_size;
        std::byte spare;
        const std::int64_t count =
            fs::read_some(file, destination.data() + done, last ? left : piece_size, last ? &spare : nullptr);
        if (count < 0) {
            if (errno == EINTR) continue;
            return last_system_error();
        }
        done += static_cast<std::size_t>(count);
        if (done > size) return io_error::kind::size_changed;
        if (count == 0 || (last && done == size)) return done == size ? io_error() : io_error::kind::size_changed;
    }
}

io_error write_exactly(int file, std::span<const std::byte> source, bool write_back_early) {
    std::size_t done = 0;
    while (done < source.size()) {
        stop_signals::take_pending();
        const std::int64_t count = fs::write_some(file, source.data() + done, std::min(source.size() - done, piece_size));
        if (count < 0) {
            if (errno == EINTR) continue;
            // Our own bytes are always there to read, unless they are a mapped archive cut short.
            return errno == EFAULT ? io_error::kind::archive_changed : last_system_error();
        }
        if (write_back_early) fs::start_write_back(file, done, static_cast<std::uint64_t>(count));
        done += static_cast<std::size_t>(count);
    }
    return {};
}

}  // namespace brel
