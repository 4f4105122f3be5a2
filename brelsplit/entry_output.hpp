// Writing an entry out as a file: every output is either as it was or whole and new, whatever stops
// the run, and nothing is written through a link in a folder of its name.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "file_reading.hpp"
#include "file_system.hpp"
#include "io_error.hpp"

namespace brel {

// A small file that already holds as many bytes as the entry is written over where it stands, with one
// write, where the file system allows (see in_place_limit): a new file, its flush and a rename cost
// many times that. Never more than this, whatever the file system. Anything else is replaced.
inline constexpr std::size_t rewrite_in_place_limit = 16 << 10;

class entry_writer {
public:
    explicit entry_writer(archive_image& archive) : archive_(archive) { file_system::report_oversized_writes(); }
    ~entry_writer() { file_system::close_folder(folder_); }
    entry_writer(const entry_writer&) = delete;
    entry_writer& operator=(const entry_writer&) = delete;

    // Writes the bytes as the file `name`, relative to the working folder, whose folders must exist.
    io_error write(std::string_view name, std::span<const std::byte> bytes);

private:
    io_error enter_folder(std::string_view folder_part);
    io_error replace(const std::string& leaf, const file_system::file_status& standing, std::span<const std::byte> bytes);
    bool rewrite_in_place(const std::string& leaf, const file_system::file_status& standing,
                          std::span<const std::byte> bytes, io_error& error);

    archive_image& archive_;
    // The folder the last entry went to; entries of one folder usually follow each other.
    std::string folder_part_;
    file_system::folder folder_ = file_system::working_folder();
    std::size_t in_place_limit_ = static_cast<std::size_t>(-1);  // of that folder's file system; -1 until known
};

}  // namespace brel
