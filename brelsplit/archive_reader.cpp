#include "archive_reader.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "stop_signals.hpp"
#include "transfers.hpp"

namespace brel {

namespace fs = file_system;

namespace {

// How much of a file's directory is held at a time, and how much a stream is read ahead by.
constexpr std::size_t window_size = std::size_t{1} << 20;
// Entries no larger than this are read from a window of the file's data.
constexpr std::uint32_t small_entry_size = 64 << 10;

}  // namespace

io_error archive_reader::open(const char* path) {
    io_result<fs::owned_file> opened = fs::open_for_reading(path);
    if (!opened) return opened.error();
    file_ = std::move(*opened);
    const io_result<fs::file_status> looked_at = fs::look_up_open(file_.get());
    if (!looked_at) return looked_at.error();
    const fs::file_status& status = *looked_at;
    if (status.kind == fs::file_status::folder) return io_error::system(EISDIR);
    if (status.kind != fs::file_status::regular_file) {
        stream_ = true;
        size_ = UINT64_MAX;
        // Read far enough to tell whether the entries' data come in order: the directory at least.
        if (const io_error error = read_stream(header_length)) return error;
        std::optional<directory_walker> look(std::in_place, held_, size_);
        bool in_order = true;
        for (std::uint64_t last_end = 0;;) {
            if (const std::optional<directory_entry> entry = look->next()) {
                in_order = in_order && entry->data_offset >= last_end;
                last_end = std::uint64_t{entry->data_offset} + entry->data_size;
            } else if (look->needs_more()) {
                // A directory that runs on past the largest archive there can be is no archive's.
                if (held_.size() > largest_archive_size) return io_error::kind::too_large;
                const std::uint64_t until = std::min<std::uint64_t>(held_.size() + window_size, largest_archive_size + 1);
                if (const io_error error = read_stream(until)) return error;
                look->hold(held_, 0, size_);
            } else {
                break;
            }
        }
        if (!in_order && !stream_ended_) {
            if (const io_error error = read_stream(largest_archive_size + 1)) return error;
            if (!stream_ended_) return io_error::kind::too_large;
        }
        walker_.emplace(held_, size_);
        return {};
    }
    opened_ = status;
    size_ = status.size;
    held_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size_, window_size)));
    if (const io_error error = read_whole(0, held_)) return error;
    walker_.emplace(held_, size_);
    return {};
}

// A file's bytes from `offset` on, as many as `into` holds: the file was cut short meanwhile when they
// are not all there.
io_error archive_reader::read_whole(std::uint64_t offset, std::span<std::byte> into) {
    std::size_t count = 0;
    if (const io_error error = read_fully(file_.get(), offset, into, count)) return error;
    return count < into.size() ? io_error::kind::archive_changed : io_error();
}

// Reads a stream on until `until` bytes of it are held, or it ends. What is held is all that has been
// taken from it.
io_error archive_reader::read_stream(std::uint64_t until) {
    while (held_.size() < until && !stream_ended_) {
        const std::size_t filled = held_.size();
        held_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(until, filled + std::max(filled, window_size))));
        std::size_t count = 0;
        const io_error error = take_from_stream(std::span(held_).subspan(filled), count);
        held_.resize(filled + count);
        if (error) return error;
    }
    return {};
}

// A file's window moves on to where the walk needs bytes, twice as long when one entry fills it.
io_error archive_reader::hold_more() {
    const std::uint64_t from = walker_->needed_from();
    const std::size_t length = static_cast<std::size_t>(
        std::min<std::uint64_t>(size_ - from, from == held_from_ ? held_.size() * 2 : window_size));
    held_.resize(length);
    held_.shrink_to_fit();
    if (const io_error error = read_whole(from, held_)) return error;
    held_from_ = from;
    walker_->hold(held_, from, size_);
    return {};
}

io_error archive_reader::next_entry(std::optional<directory_entry>& entry) {
    for (;;) {
        entry = walker_->next();
        // A stream's directory is held whole by now.
        if (entry || !walker_->needs_more() || stream_) return {};
        if (const io_error error = hold_more()) return error;
    }
}

// One read of a stream; a count of 0 at its end, whose length is then known.
io_error archive_reader::take_from_stream(std::span<std::byte> into, std::size_t& count) {
    for (;;) {
        stop_signals::take_pending();
        const std::int64_t got = fs::read_some(file_.get(), into.data(), into.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return last_system_error();
        count = static_cast<std::size_t>(got);
        stream_at_ += count;
        if (count == 0) {
            stream_ended_ = true;
            size_ = stream_at_;
        }
        return {};
    }
}

io_error archive_reader::skip_to(std::uint64_t offset) {
    std::vector<std::byte> discarded;
    while (stream_at_ < offset) {
        if (stream_ended_) return io_error::kind::past_the_end;
        discarded.resize(static_cast<std::size_t>(std::min<std::uint64_t>(offset - stream_at_, window_size)));
        std::size_t count = 0;
        if (const io_error error = take_from_stream(discarded, count)) return error;
    }
    return {};
}

// Entries of a few KiB usually follow each other: their bytes are read a window at a time, one read for
// many of them. Empty for an entry too large, or empty itself.
io_error archive_reader::small_data(const directory_entry& entry, std::span<const std::byte>& bytes) {
    bytes = {};
    if (entry.data_size == 0 || entry.data_size > small_entry_size) return {};
    const std::uint64_t end = std::uint64_t{entry.data_offset} + entry.data_size;
    if (entry.data_offset < data_from_ || end > data_from_ + data_.size()) {
        data_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(window_size, size_ - entry.data_offset)));
        std::size_t count = 0;
        if (const io_error error = read_fully(file_.get(), entry.data_offset, data_, count)) return error;
        data_from_ = entry.data_offset;
        data_.resize(count);
        if (end > data_from_ + count) return io_error::kind::archive_changed;
    }
    bytes = std::span(data_).subspan(static_cast<std::size_t>(entry.data_offset - data_from_), entry.data_size);
    return {};
}

io_error archive_reader::copy(const directory_entry& entry, int file, bool write_back_early) {
    std::uint64_t offset = entry.data_offset;
    const std::uint64_t end = offset + entry.data_size;
    if (!stream_) {
        std::span<const std::byte> small;
        if (const io_error error = small_data(entry, small)) return error;
        if (!small.empty() || entry.data_size == 0) return write_exactly(file, small, write_back_early);
        const io_error error = copy_exactly(file_.get(), &offset, file, 0, entry.data_size, write_back_early);
        return error.what() == io_error::kind::size_changed ? io_error::kind::archive_changed : error;
    }
    // What is held in memory of a stream, then what follows it.
    if (offset < held_.size()) {
        const auto from_memory = static_cast<std::size_t>(std::min<std::uint64_t>(end, held_.size()) - offset);
        if (const io_error error = write_exactly(file, std::span(held_).subspan(static_cast<std::size_t>(offset), from_memory),
                                                 write_back_early)) {
            return error;
        }
        offset += from_memory;
    }
    if (offset == end) return {};
    if (const io_error error = skip_to(offset)) return error;
    std::uint64_t moved = 0;
    const io_error error = copy_exactly(file_.get(), nullptr, file, offset - entry.data_offset, end - offset, write_back_early, &moved);
    stream_at_ += moved;
    if (error.what() != io_error::kind::size_changed) return error;
    stream_ended_ = true;
    size_ = stream_at_;
    return io_error::kind::past_the_end;
}

io_error archive_reader::read(const directory_entry& entry, std::span<std::byte> into) {
    std::uint64_t offset = entry.data_offset;
    std::size_t done = 0;
    if (!stream_) {
        std::span<const std::byte> small;
        if (const io_error error = small_data(entry, small)) return error;
        if (!small.empty()) {
            std::memcpy(into.data(), small.data(), small.size());
            return {};
        }
        return read_whole(offset, into);
    }
    if (offset < held_.size()) {
        done = static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), held_.size() - offset));
        std::memcpy(into.data(), held_.data() + offset, done);
        offset += done;
    }
    if (done == into.size()) return {};
    if (const io_error error = skip_to(offset)) return error;
    while (done < into.size()) {
        std::size_t count = 0;
        if (const io_error error = take_from_stream(into.subspan(done), count)) return error;
        if (count == 0) return io_error::kind::past_the_end;
        done += count;
    }
    return {};
}

io_error archive_reader::finish() {
    if (!stream_) return {};
    // A stream that runs on past the largest archive there can be is no archive.
    const io_error error = skip_to(largest_archive_size + 1);
    return error.what() == io_error::kind::past_the_end ? io_error() : error ? error : io_error::kind::too_large;
}

bool archive_reader::still_whole() const {
    if (opened_.kind == fs::file_status::nothing) return true;
    // A cut grown back to the old length reads as the bytes written there since: the file's times tell,
    // as they tell of any other write.
    const io_result<fs::file_status> status = fs::look_up_open(file_.get());
    return status && status->same_bytes_and_status_as(opened_);
}

bool archive_reader::is_archive(const file_identity& file) const {
    return opened_.kind != fs::file_status::nothing && file == opened_.identity;
}

void archive_reader::name_replaced(const file_identity& replaced) {
    if (!is_archive(replaced)) return;
    // Its bytes must still be as they were; only the time of the last change may move.
    const io_result<fs::file_status> status = fs::look_up_open(file_.get());
    if (status && status->same_bytes_as(opened_)) opened_ = *status;
}

}  // namespace brel
