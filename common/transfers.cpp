#include "transfers.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "file_system.hpp"
#include "stop_signals.hpp"

namespace brel {

namespace {

namespace fs = file_system;

// Transfers go in pieces: a single call is capped (about 2 GiB on Linux and on Windows),
// and a run that is stopped should end after the piece in hand, not after a whole large file.
constexpr std::size_t piece_size = std::size_t{16} << 20;

// Bytes the system can't move between two files itself pass through this much of our memory at a time.
constexpr std::size_t buffer_size = std::size_t{1} << 20;
// Copies no longer than this go through memory of ours on the stack.
constexpr std::size_t small_copy = std::size_t{64} << 10;

// Moves up to `size` bytes as fs::move_some does, through `buffer` once that has been found to be
// needed (it is empty until then): the count, 0 at the end of `from`, or -1 with errno set. A write that
// fails sets `written`; the count then says what was taken from `from` all the same.
std::int64_t copy_some(int from, std::uint64_t* from_offset, int to, std::size_t size, std::vector<std::byte>& buffer,
                       io_error& written) {
    if (buffer.empty()) {
        bool writing = false;
        const std::int64_t moved = fs::move_some(from, from_offset, to, size, writing);
        if (moved < 0 && writing) written = last_system_error().in_writing();
        if (moved >= 0 || errno != ENOSYS) return moved;
        buffer.resize(buffer_size);
    }
    const std::size_t want = std::min(size, buffer.size());
    const std::int64_t count = from_offset != nullptr ? fs::read_at(from, buffer.data(), want, *from_offset)
                                                      : fs::read_some(from, buffer.data(), want);
    if (count <= 0) return count;
    written = write_exactly(to, std::span(buffer).first(static_cast<std::size_t>(count))).in_writing();
    if (from_offset != nullptr) *from_offset += static_cast<std::uint64_t>(count);
    return count;
}

}  // namespace

io_error read_fully(int file, std::uint64_t offset, std::span<std::byte> into, std::size_t& count) {
    for (count = 0; count < into.size();) {
        const std::int64_t got = fs::read_at(file, into.data() + count, into.size() - count, offset + count);
        if (got < 0) {
            if (errno == EINTR) continue;
            return last_system_error();
        }
        if (got == 0) break;
        count += static_cast<std::size_t>(got);
    }
    return {};
}

io_error write_exactly(int file, std::span<const std::byte> source, bool write_back_early) {
    std::size_t done = 0;
    while (done < source.size()) {
        stop_signals::take_pending();
        const std::int64_t count = fs::write_some(file, source.data() + done, std::min(source.size() - done, piece_size));
        if (count < 0) {
            if (errno == EINTR) continue;
            return last_system_error();
        }
        if (write_back_early) fs::start_write_back(file, done, static_cast<std::uint64_t>(count));
        done += static_cast<std::size_t>(count);
    }
    return {};
}

io_error copy_exactly(int from, std::uint64_t* from_offset, int to, std::uint64_t to_offset, std::uint64_t length,
                      bool write_back_early, std::uint64_t* copied) {
    std::uint64_t counted = 0;
    if (copied == nullptr) copied = &counted;
    *copied = 0;
    // A small file read at an offset goes through a buffer of ours: one read and one write, where moving
    // it inside the system takes three calls.
    if (from_offset != nullptr && length <= small_copy) {
        std::array<std::byte, small_copy> bytes;
        std::size_t count = 0;
        if (const io_error error = read_fully(from, *from_offset, std::span(bytes).first(length), count)) return error;
        if (count < length) return io_error::kind::size_changed;
        if (const io_error error = write_exactly(to, std::span(bytes).first(length))) return error.in_writing();
        if (write_back_early) fs::start_write_back(to, to_offset, length);
        *from_offset += length;
        *copied = length;
        return {};
    }
    std::vector<std::byte> buffer;
    for (std::uint64_t& done = *copied; done < length;) {
        stop_signals::take_pending();
        io_error written;
        const std::int64_t count =
            copy_some(from, from_offset, to, static_cast<std::size_t>(std::min<std::uint64_t>(length - done, piece_size)),
                      buffer, written);
        if (written) {
            if (count > 0) done += static_cast<std::uint64_t>(count);
            return written;
        }
        if (count < 0) {
            if (errno == EINTR) continue;
            return last_system_error();
        }
        if (count == 0) return io_error::kind::size_changed;
        if (write_back_early) fs::start_write_back(to, to_offset + done, static_cast<std::uint64_t>(count));
        done += static_cast<std::uint64_t>(count);
    }
    return {};
}

io_error copy_to_end(int from, int to, std::uint64_t most, std::uint64_t& copied) {
    std::vector<std::byte> buffer;
    for (copied = 0;;) {
        stop_signals::take_pending();
        io_error written;
        // One byte past `most` is asked for, to tell a stream that runs on.
        const std::uint64_t left = most - std::min(most, copied) + 1;
        const std::int64_t count =
            copy_some(from, nullptr, to, static_cast<std::size_t>(std::min<std::uint64_t>(left, piece_size)), buffer, written);
        if (written) {
            if (count > 0) copied += static_cast<std::uint64_t>(count);
            return written;
        }
        if (count < 0) {
            if (errno == EINTR) continue;
            return last_system_error();
        }
        if (count == 0) return {};
        copied += static_cast<std::uint64_t>(count);
        if (copied > most) return io_error::kind::too_large;
    }
}

io_error check_ends_at(int file, std::uint64_t offset) {
    std::byte more;
    for (;;) {
        const std::int64_t count = fs::read_at(file, &more, 1, offset);
        if (count == 0) return {};
        if (count > 0) return io_error::kind::size_changed;
        if (errno != EINTR) return last_system_error();
    }
}

}  // namespace brel
