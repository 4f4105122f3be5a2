#include "file_access.hpp"

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

// Reads exactly `size` bytes and makes sure the file ends there, asking for one byte more than it
// expects: a file read whole comes back short of the request, at its end. destination[size] must be
// writable.
int read_to_end(int fd, std::byte* destination, std::size_t size) {
    std::size_t done = 0;
    for (;;) {
        const std::size_t wanted = std::min(size - done + 1, largest_transfer);
        const std::int64_t count = fs::read_some(fd, destination + done, wanted);
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(count);
        if (done > size) return size_changed_error;
        if (count == 0 || (done == size && static_cast<std::size_t>(count) < wanted)) {
            return done == size ? 0 : size_changed_error;
        }
    }
}

int write_exactly(int fd, const std::byte* source, std::size_t size) {
    while (size > 0) {
        const std::int64_t count = fs::write_some(fd, source, std::min(size, largest_transfer));
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
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

// A name for the new file in the target's folder, hidden and unlikely to be taken.
std::string temporary_name_beside(const std::string& target) {
    static std::mt19937_64 generator{std::random_device{}()};
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::size_t base = target.size();
    while (base > 0 && !fs::is_separator(target[base - 1])) --base;
    std::string name = target.substr(0, base) + "." + target.substr(base) + ".";
    for (int i = 0; i < 8; ++i) name += letters[generator() % (sizeof letters - 1)];
    return name;
}

int write_new_file(const fs::replace_target& target, std::span<const std::byte> bytes, existing_link links) {
    std::string temporary;
    open_file file;
    for (int attempt = 0;; ++attempt) {
        temporary = temporary_name_beside(target.path);
        const int error = fs::create_new(temporary.c_str(), file.fd());
        if (error == 0) break;
        if (error != EEXIST || attempt == 100) return error;
    }
    int error = target.kind == fs::replace_target::regular_file ? fs::carry_over(file.fd(), target) : 0;
    if (error == 0) error = write_and_close(file, bytes);
    // Renaming over an existing file makes ext4 push the new file's data towards the disk at once (its
    // guard for rewrites without fsync), several times the cost of the write for small files. Where an
    // atomic swap is not needed, the old name goes first, and only once the new file is written whole,
    // so a failed write still loses nothing.
    if (error == 0 && links == existing_link::replace && target.kind != fs::replace_target::nothing) {
        fs::remove_file(target.path.c_str());
    }
    if (error == 0) error = fs::move_over(temporary.c_str(), target.path.c_str());
    if (error != 0) fs::remove_file(temporary.c_str());
    return error;
}

}  // namespace

const char* describe_error(int error) {
    if (error == size_changed_error) return "file changed size while being read";
    return std::strerror(error);
}

image_buffer::image_buffer(std::size_t size) : data_(fs::allocate_zeroed(size + 1)), size_(size) {}

image_buffer::~image_buffer() {
    if (data_ != nullptr) fs::release(data_, size_ + 1);
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

int read_whole_file(const char* path, image_buffer& image) {
    open_file file;
    std::uint64_t length = 0;
    if (const int error = fs::open_for_reading(path, file.fd())) return error;
    if (const int error = fs::seek_end(file.fd(), length)) return error;
    if (length >= SIZE_MAX) return ENOMEM;
    if (const int error = fs::seek_start(file.fd())) return error;
    image = image_buffer(static_cast<std::size_t>(length));
    if (!image.allocated()) return ENOMEM;
    if (const int error = read_exactly(file.fd(), image.bytes().data(), image.bytes().size())) return error;
    return file.close();
}

int replace_file(const char* path, std::span<const std::byte> bytes, existing_link links) {
    fs::report_oversized_writes();
    fs::replace_target target;
    if (const int error = fs::examine(path, links, target)) return error;
    if (target.kind == fs::replace_target::folder) return EISDIR;
    if (target.kind == fs::replace_target::other && links == existing_link::write_through) {
        // A device or a pipe named by the user can't be replaced, only written to.
        open_file file;
        if (const int error = fs::open_for_writing(target.path.c_str(), file.fd())) return error;
        return write_and_close(file, bytes);
    }
    return write_new_file(target, bytes, links);
}

int write_file(const char* path, std::span<const std::byte> bytes) {
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
    if (fs::open_for_rewrite(path, bytes.size(), file.fd(), old_size) == 0) {
        error = write_exactly(file.fd(), bytes.data(), bytes.size());
        if (error == 0 && old_size > bytes.size()) error = fs::truncate_file(file.fd(), bytes.size());
        if (const int closed = file.close(); error == 0) error = closed;
        return error;
    }
    file.close();
    return replace_file(path, bytes, existing_link::replace);
}

}  // namespace brel
