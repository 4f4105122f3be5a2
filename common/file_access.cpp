#include "file_access.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>

#include "file_system.hpp"

namespace brel {

namespace {

namespace fs = file_system;

// Owns one open file.
class open_file {
public:
    open_file() = default;
    ~open_file() {
        if (fd_ >= 0) fs::close_file(fd_);
    }
    open_file(const open_file&) = delete;
    open_file& operator=(const open_file&) = delete;

    int& fd() { return fd_; }
    // Closes now and reports what closing said: a written file's last error can show only here.
    int close() {
        if (fd_ < 0) return 0;
        const int result = fs::close_file(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_ = -1;
};

// Single transfers are capped (about 2 GiB on Linux, less than 4 GiB on Windows), so whole-file
// transfers go in pieces of at most 1 GiB.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

int read_exactly(int fd, std::byte* destination, std::size_t size) {
    while (size > 0) {
        const std::int64_t count = fs::read_some(fd, destination, std::min(size, largest_transfer));
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (count == 0) return size_changed_error;
        destination += count;
        size -= static_cast<std::size_t>(count);
    }
    return 0;
}

// Reads exactly `size` bytes and makes sure the file ends there: the last read asks for one byte more
// than is left, into a spare byte, and a file read whole comes back short of that request.
int read_to_end(int fd, std::byte* destination, std::size_t size) {
    std::size_t done = 0;
    for (;;) {
        const std::size_t left = size - done;
        const bool last = left < largest_transfer;
        std::byte spare;
        const std::int64_t count =
            fs::read_some(fd, destination + done, last ? left : largest_transfer, last ? &spare : nullptr);
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(count);
        if (done > size) return size_changed_error;
        if (count == 0 || (last && done == size)) return done == size ? 0 : size_changed_error;
    }
}

int write_exactly(int fd, const std::byte* source, std::size_t size) {
    while (size > 0) {
        const std::int64_t count = fs::write_some(fd, source, std::min(size, largest_transfer));
        if (count < 0) {
            if (errno == EINTR) continue;
            // Our own bytes are always there to read, unless they are a mapped archive cut short.
            return errno == EFAULT ? archive_changed_error : errno;
        }
        source += count;
        size -= static_cast<std::size_t>(count);
    }
    return 0;
}

// Writes all the bytes and closes the file; the first error, if any.
int write_and_close(open_file& file, std::span<const std::byte> bytes) {
    const int error = write_exactly(file.fd(), bytes.data(), bytes.size());
    const int closed = file.close();
    return error != 0 ? error : closed;
}

// Where a new file beside `target` goes: the target's folder, with a trailing separator, or "".
std::string folder_of(const std::string& target) {
    std::size_t base = target.size();
    while (base > 0 && !fs::is_separator(target[base - 1])) --base;
    return target.substr(0, base);
}

// A name for a new file in the target's folder, hidden and unlikely to be taken.
std::string temporary_name_beside(const std::string& target) {
    static std::mt19937_64 generator{std::random_device{}()};
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    const std::string folder = folder_of(target);
    std::string name = folder + "." + target.substr(folder.size()) + ".";
    for (int i = 0; i < 8; ++i) name += letters[generator() % (sizeof letters - 1)];
    return name;
}

// Tries hidden names beside the target until `give_name` takes one that is free.
template <typename Naming>
int name_beside(const std::string& target, std::string& name, Naming give_name) {
    for (int attempt = 0;; ++attempt) {
        name = temporary_name_beside(target);
        const int error = give_name(name.c_str());
        if (error != EEXIST || attempt == 100) {
            if (error != 0) name.clear();
            return error;
        }
    }
}

// Replaces what stands at path (a link included, which is not followed) by a new file holding bytes,
// written beside it first, so a failed write loses nothing.
int replace_file(const char* path, std::span<const std::byte> bytes) {
    fs::replace_target target;
    if (const int error = fs::examine(path, fs::existing_link::replace, target)) return error;
    if (target.kind == fs::replace_target::folder) return EISDIR;
    std::string temporary;
    open_file file;
    int error = name_beside(target.path, temporary, [&](const char* name) { return fs::create_new(name, file.fd()); });
    if (error != 0) return error;
    if (target.kind == fs::replace_target::regular_file) error = fs::carry_over(file.fd(), target);
    if (error == 0) error = write_and_close(file, bytes);
    // Renaming over an existing file makes ext4 push the new file's data towards the disk at once (its
    // guard for rewrites without fsync), several times the cost of the write for small files. No atomic
    // swap is needed here, so the old name goes first, and only once the new file is written whole, so
    // a failed write still loses nothing.
    if (error == 0 && target.kind != fs::replace_target::nothing) fs::remove_file(target.path.c_str());
    if (error == 0) error = fs::move_over(temporary.c_str(), target.path.c_str());
    if (error != 0) fs::remove_file(temporary.c_str());
    return error;
}

}  // namespace

const char* describe_error(int error) {
    if (error == size_changed_error) return "file changed size while being read";
    if (error == archive_changed_error) return "the archive changed while being read";
    return std::strerror(error);
}

// Memory of its own is never asked for with length 0, which the system refuses.
image_buffer::image_buffer(std::size_t size) : data_(fs::allocate_zeroed(std::max<std::size_t>(size, 1))), size_(size) {}

image_buffer image_buffer::adopt(std::byte* mapping, std::size_t size) {
    image_buffer image;
    image.data_ = mapping;
    image.size_ = size;
    return image;
}

image_buffer::~image_buffer() {
    if (data_ != nullptr) fs::release(data_, std::max<std::size_t>(size_, 1));
}

image_buffer::image_buffer(image_buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

image_buffer& image_buffer::operator=(image_buffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
}

int measure_file(const char* path, std::uint64_t& size) {
    bool regular = false;
    if (const int error = fs::look_up(path, size, regular)) return error;
    if (regular) return 0;
    open_file file;
    if (const int error = fs::open_for_reading(path, file.fd())) return error;
    if (const int error = fs::seek_end(file.fd(), size)) return error;
    return file.close();
}

int read_file_into(const char* path, std::span<std::byte> destination) {
    open_file file;
    if (const int error = fs::open_for_reading(path, file.fd())) return error;
    if (const int error = read_to_end(file.fd(), destination.data(), destination.size())) return error;
    return file.close();
}

int read_archive(const char* path, image_buffer& image, file_identity& identity) {
    open_file file;
    std::uint64_t length = 0;
    bool regular = false;
    if (const int error = fs::open_for_reading(path, file.fd())) return error;
    if (const int error = fs::look_up_open(file.fd(), length, regular, identity)) return error;
    if (!regular) {
        if (const int error = fs::seek_end(file.fd(), length)) return error;
        if (const int error = fs::seek_start(file.fd())) return error;
    }
    if (length >= SIZE_MAX) return ENOMEM;
    std::byte* mapping = nullptr;
    if (regular && length > 0 && fs::map_file(file.fd(), static_cast<std::size_t>(length), false, mapping) == 0) {
        image = image_buffer::adopt(mapping, static_cast<std::size_t>(length));
        return file.close();
    }
    // A pipe, a device or an empty file can't be mapped: read into memory of its own.
    image = image_buffer(static_cast<std::size_t>(length));
    if (!image.allocated()) return ENOMEM;
    if (const int error = read_exactly(file.fd(), image.bytes().data(), image.bytes().size())) return error;
    return file.close();
}

bool image_cut_short() { return fs::mapping_cut_short(); }

file_replacement::~file_replacement() {
    image_ = image_buffer();
    if (file_ >= 0) fs::close_file(file_);
    if (!temporary_.empty()) fs::remove_file(temporary_.c_str());
}

int file_replacement::start(const char* path, std::size_t size) {
    fs::report_oversized_writes();
    fs::replace_target target;
    if (const int error = fs::examine(path, fs::existing_link::write_through, target)) return error;
    if (target.kind == fs::replace_target::folder) return EISDIR;
    target_ = target.path;
    into_device_ = target.kind == fs::replace_target::other;
    if (!into_device_) {
        // Without a name where the system allows, with a hidden name beside the target elsewhere.
        std::string folder = folder_of(target_);
        if (fs::create_unnamed(folder.empty() ? "." : folder.c_str(), file_) != 0) {
            if (const int error = name_beside(target_, temporary_,
                                              [&](const char* name) { return fs::create_new(name, file_); })) {
                return error;
            }
        }
        if (target.kind == fs::replace_target::regular_file) {
            if (const int error = fs::carry_over(file_, target)) return error;
        }
        const int error = fs::reserve(file_, size);
        if (error == 0) {
            std::byte* mapping = nullptr;
            if (const int mapped = fs::map_file(file_, size, true, mapping)) return mapped;
            image_ = image_buffer::adopt(mapping, size);
            mapped_ = true;
            return 0;
        }
        if (error != fs::unsupported_error) return error;
    }
    image_ = image_buffer(size);
    return image_.allocated() ? 0 : ENOMEM;
}

int file_replacement::finish() {
    open_file file;
    if (into_device_) {
        // A device or a pipe named by the user can't be replaced, only written to.
        if (const int error = fs::open_for_writing(target_.c_str(), file.fd())) return error;
        return write_and_close(file, bytes());
    }
    file.fd() = std::exchange(file_, -1);
    if (!mapped_) {
        if (const int error = write_exactly(file.fd(), bytes().data(), bytes().size())) return error;
    }
    image_ = image_buffer();
    if (temporary_.empty()) {
        const int fd = file.fd();
        if (const int error = name_beside(target_, temporary_, [&](const char* name) { return fs::name_unnamed(fd, name); })) {
            return error;
        }
    }
    if (const int error = file.close()) return error;
    if (const int error = fs::move_over(temporary_.c_str(), target_.c_str())) return error;
    temporary_.clear();
    return 0;
}

int write_file(const char* path, std::span<const std::byte> bytes, const file_identity& source) {
    fs::report_oversized_writes();
    open_file file;
    int error = fs::create_new(path, file.fd());
    if (error == 0) {
        error = write_and_close(file, bytes);
        // Nothing stood here before, so a file that could not be written whole goes again.
        if (error != 0) fs::remove_file(path);
        return error;
    }
    if (error != EEXIST) return error;

    // A file that is already there and has room for the new bytes is written over where it stands, as
    // a rewrite in place keeps it (permissions, owner, links) and costs no more than a new file. It is
    // not emptied first: ext4 pushes a file emptied and rewritten towards the disk at once.
    std::uint64_t old_size = 0;
    if (fs::open_for_rewrite(path, bytes.size(), source, file.fd(), old_size) == 0) {
        error = write_exactly(file.fd(), bytes.data(), bytes.size());
        if (error == 0 && old_size > bytes.size()) error = fs::truncate_file(file.fd(), bytes.size());
        if (const int closed = file.close(); error == 0) error = closed;
        return error;
    }
    file.close();
    return replace_file(path, bytes);
}

}  // namespace brel
