// The one way file operations say what went wrong: nothing, a system error number, or one of the
// conditions this program finds for itself.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

namespace brel {

class io_error {
public:
    enum class kind : std::uint8_t {
        none,
        system,           // an errno value
        platform,         // a platform error code that has no errno value (Windows)
        size_changed,     // a file no longer holds the bytes it was measured to hold
        archive_changed,  // another program changed the archive while it was read
        unsupported,      // the system or file system can't do this; the caller has another way
        link_in_path,     // a folder on the way to an output is a link, which is not followed
        dangling_link,    // the path is a symbolic link that leads to nothing
        name_changed,     // another program put something else at an output's name meanwhile
        torn,             // a write over a file failed, and so did putting its old bytes back
        no_memory,        // the memory for an image of that many bytes could not be had
        out_of_memory,    // memory for anything else could not be had (std::bad_alloc)
        too_large,        // a stream ran on past the largest archive there can be
        folder_missing,   // a folder of an output's name does not exist (its reason follows the folder's name)
        folder_moved,     // a folder of an output's name was moved or replaced meanwhile
        not_an_archive,   // a file that holds bytes but no archive stands where one would replace it
        past_the_end,     // an archive read as a stream ended before an entry's data
        unreadable,       // a file that would be replaced can't be read to tell whether it is an archive
        not_in_code_page, // a name has characters the code page names are stored in can't hold
        no_match,         // a wildcard pattern matches no file
        wildcard_folder,  // a wildcard stands in a folder of a path, not in its last part
    };

    constexpr io_error() = default;
    constexpr io_error(kind what) : kind_(what) {}
    static constexpr io_error system(int error_number) { return io_error(kind::system, error_number); }
    static constexpr io_error platform(unsigned code) { return io_error(kind::platform, static_cast<int>(code)); }
    static constexpr io_error no_memory_for(std::uint64_t bytes) { return io_error(kind::no_memory, ENOMEM, kind::none, bytes); }
    // The write failed with `cause`, and putting the old bytes back failed too.
    static constexpr io_error torn_by(const io_error& cause) { return io_error(kind::torn, cause.code_, cause.kind_); }

    // The same error, met in writing, where a transfer both reads and writes.
    io_error in_writing() const {
        io_error marked = *this;
        marked.writing_ = kind_ != kind::none;
        return marked;
    }
    bool met_in_writing() const { return writing_; }

    explicit operator bool() const { return kind_ != kind::none; }
    bool operator==(const io_error&) const = default;
    kind what() const { return kind_; }
    // Whether this is the system's error with that number.
    bool is(int error_number) const { return kind_ == kind::system && code_ == error_number; }

    // The reason a user is shown: the system's own text for its errors.
    std::string reason() const;

private:
    constexpr io_error(kind what, int code, kind cause = kind::none, std::uint64_t bytes = 0)
        : kind_(what), cause_(cause), code_(code), bytes_(bytes) {}
    kind kind_ = kind::none;
    kind cause_ = kind::none;  // for torn: what went wrong underneath
    int code_ = 0;
    std::uint64_t bytes_ = 0;  // for no_memory
    bool writing_ = false;

};

// The error a failed system call left in errno.
io_error last_system_error();

// The system's text for a platform error code; defined with each platform's file code.
std::string describe_platform_error(unsigned code);

}  // namespace brel
