// Where brelpack's archive goes: where a plain create at its path would write, and nowhere else.
// A pipe, terminal or device there (a link to one included) is written into; a file that a standard
// stream appends to is appended to; a regular file (a link to one included) is replaced by a new file
// in its own folder once that is complete, keeping its permissions; a file the user may not write is
// refused, as is a link that leads nowhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "file_system.hpp"
#include "io_error.hpp"
#include "new_file.hpp"

namespace brel {

// The bytes go out in order, a piece at a time, never all in memory: into a new file (made in the
// folder of the archive's name, which it takes once complete; the room for the bytes expected is
// reserved at start() where the file system can, so a full disk or a file-size limit shows there), or
// into what stands at the path and is written into (a pipe, a device, a file a stream appends to).
class archive_output {
public:
    // A file smaller than this is read with one call, into the bytes waiting to go out.
    static constexpr std::uint64_t small_input_size = 64 << 10;

    archive_output() = default;
    archive_output(const archive_output&) = delete;
    archive_output& operator=(const archive_output&) = delete;

    // Gets ready to write the archive at path, `size` bytes as far as is known.
    io_error start(const char* path, std::uint64_t size);
    // Whether the bytes go into a stream, in order, rather than into a new file that can be written over.
    bool streamed() const { return std::holds_alternative<streamed_destination>(destination_); }
    io_error write(std::span<const std::byte> bytes);
    // How many bytes have gone into the archive so far.
    std::uint64_t position() const { return written_ + pending_.size(); }
    // Writes bytes over those already written from `offset` (a new file only).
    io_error write_over(std::span<const std::byte> bytes, std::uint64_t offset);
    // Copies exactly `size` bytes of the file `input`, from its start, and makes sure it ends there:
    // size_changed when it has grown or shrunk.
    io_error copy_file(int input, std::uint64_t size);
    // Copies the rest of a stream, at most `most` bytes (one more is too_large); `size` says how many.
    io_error copy_stream(int input, std::uint64_t most, std::uint64_t& size);
    // Puts the archive where it goes.
    io_error finish();
    // Gives up the new file now, as the destructor would.
    void abandon();

private:
    // Small writes wait in memory until this much has come together.
    static constexpr std::size_t pending_room = std::size_t{1} << 20;

    // What stands at the path and is written into: a pipe, a terminal, a device, a file a standard stream
    // appends to, a file with no name left.
    struct streamed_destination {
        explicit streamed_destination(file_system::owned_file opened) : stream(std::move(opened)) {}
        file_system::owned_file stream;
    };
    // A new file in the folder of the archive's name. The file goes before its folder, in which it is
    // removed unless it took the name.
    struct new_file_destination {
        explicit new_file_destination(file_system::folder opened) : place(std::move(opened)) {}
        file_system::folder place;
        new_file file;
        // The path the old archive was checked at, to be checked again just before it is replaced; empty
        // when nothing stood there.
        std::string checked_path;
    };

    io_error start_new_file(const std::string& location, const file_system::file_status& replaced, std::uint64_t size,
                            std::string checked_path = {});
    io_error flush_pending();
    io_error send(std::span<const std::byte> bytes);
    // The descriptor the bytes are written into; -1 before start().
    int destination() const;
    bool write_back_early() const;

    std::variant<std::monostate, streamed_destination, new_file_destination> destination_;
    std::uint64_t written_ = 0;  // bytes written out, the pending ones not counted
    std::vector<std::byte> pending_;
};

}  // namespace brel
