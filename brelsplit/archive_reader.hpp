// Reading an archive to unpack, a piece at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive_format.hpp"
#include "entry_source.hpp"
#include "file_system.hpp"
#include "io_error.hpp"

namespace brel {

// An archive being read, without ever holding all of it: a file is read where each part is needed, a
// stream (a pipe, a device) once from its start. The directory is walked through the bytes held in memory
// (a window of a file, the start of a stream), and each entry's bytes go straight from the archive into
// its file. A file stays open, so that still_whole() can tell whether another program has changed it
// since in any way (cut it short and grown it back, written over it, renamed something over it). A
// stream whose entries' data come in order without overlap (every archive brelpack makes) is read past
// once; any other is held in memory whole, being read only once.
class archive_reader final : public entry_source {
public:
    io_error open(const char* path);
    // Its length; for a stream read past once, the largest there can be until its end is met.
    std::uint64_t size() const { return size_; }
    // The next entry of the directory; nothing at its end, and at a problem, which problem() names. An
    // error: the archive could not be read there (archive_changed: it was cut short).
    io_error next_entry(std::optional<directory_entry>& entry);
    const std::string& problem() const { return walker_->problem(); }
    // Copies the entry's bytes, which lie inside size(), into `file` at its position, as copy_exactly
    // does; or reads them into `into`, as long as they are. archive_changed: the file was cut short
    // meanwhile; past_the_end: a stream ended before them, and size() is now its length.
    io_error copy(const directory_entry& entry, int file, bool write_back_early) override;
    io_error read(const directory_entry& entry, std::span<std::byte> into) override;
    bool still_whole() const override;
    // Once every entry is written: a stream is read on to its end, which must come before the largest
    // archive there can be ends (too_large).
    io_error finish();
    // Whether that is the archive's file (a stream has none).
    bool is_archive(const file_identity& file) const override;
    // A name of the archive's file was just replaced by this program (an entry named after it): that
    // changes the file's status, not its bytes.
    void name_replaced(const file_identity& replaced) override;

private:
    io_error hold_more();
    io_error read_whole(std::uint64_t offset, std::span<std::byte> into);
    io_error read_stream(std::uint64_t until);
    // Brings a stream read past once to `offset`; past_the_end when it ends first.
    io_error skip_to(std::uint64_t offset);
    io_error take_from_stream(std::span<std::byte> into, std::size_t& count);
    io_error small_data(const directory_entry& entry, std::span<const std::byte>& bytes);

    file_system::owned_file file_;
    file_system::file_status opened_;  // the file as it was when opened; `nothing` for a stream
    std::uint64_t size_ = 0;
    std::vector<std::byte> held_;      // a window of a file, from held_from_; the start of a stream
    std::uint64_t held_from_ = 0;
    std::vector<std::byte> data_;      // a window of a file's data, from data_from_
    std::uint64_t data_from_ = 0;
    std::optional<directory_walker> walker_;
    bool stream_ = false;
    std::uint64_t stream_at_ = 0;      // the bytes of a stream taken from it so far
    bool stream_ended_ = false;
};

}  // namespace brel
