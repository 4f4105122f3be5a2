#include "file_access.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace brel {

namespace {

// Owns one file descriptor.
class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports what close said: a written file's last error can show only here.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0 || errno == EINTR ? 0 : errno;
    }

private:
    int fd_;
};

int open_for_reading(const char* path, unique_fd& file) {
    file.reset(::open(path, O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return errno;
    struct stat status;
    if (fstat(file.get(), &status) != 0) return errno;
    // A directory opens for reading here, but holds no bytes to pack.
    if (S_ISDIR(status.st_mode)) return EISDIR;
    return 0;
}

// read and write move at most about 2 GiB per call on Linux, so whole-file transfers loop.
int read_exactly(int fd, std::byte* destination, std::size_t size) {
    while (size > 0) {
        const ssize_t count = ::read(fd, destination, size);
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

int write_exactly(int fd, const std::byte* source, std::size_t size) {
    while (size > 0) {
        const ssize_t count = ::write(fd, source, size);
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        source += count;
        size -= static_cast<std::size_t>(count);
    }
    return 0;
}

// Past the file-size limit a write should fail with EFBIG, not end the process before it can report
// the failure and clean up.
void ignore_file_size_signal() { std::signal(SIGXFSZ, SIG_IGN); }

int seek_end(int fd, std::uint64_t& size) {
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return errno;
    size = static_cast<std::uint64_t>(end);
    return 0;
}

// A name for the new file in the target's directory, hidden and unlikely to be taken.
std::string temporary_name_beside(const std::string& target) {
    static std::mt19937_64 generator{std::random_device{}() ^ static_cast<std::uint64_t>(getpid())};
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const std::size_t slash = target.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::string name = target.substr(0, base) + "." + target.substr(base) + ".";
    for (int i = 0; i < 6; ++i) name += letters[generator() % (sizeof letters - 1)];
    return name;
}

int write_new_file(const std::string& path, std::span<const std::byte> bytes, const struct stat* replaced) {
    std::string temporary;
    unique_fd file;
    for (int attempt = 0; file.get() < 0; ++attempt) {
        temporary = temporary_name_beside(path);
        file.reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (file.get() < 0 && (errno != EEXIST || attempt == 100)) return errno;
    }
    int error = 0;
    if (replaced != nullptr) {
        // Keep what a truncating rewrite would have kept: the permissions and, where allowed, the owner.
        if (fchmod(file.get(), replaced->st_mode & 07777) != 0) error = errno;
        if (replaced->st_uid != geteuid() || replaced->st_gid != getegid()) {
            [[maybe_unused]] const int ignored = fchown(file.get(), replaced->st_uid, replaced->st_gid);
        }
    }
    if (error == 0) error = write_exactly(file.get(), bytes.data(), bytes.size());
    if (const int closed = file.close(); error == 0) error = closed;
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) unlink(temporary.c_str());
    return error;
}

}  // namespace

const char* describe_error(int error) {
    if (error == size_changed_error) return "file changed size while being read";
    return std::strerror(error);
}

image_buffer allocate_image(std::size_t size) {
    return image_buffer(static_cast<std::byte*>(std::calloc(size == 0 ? 1 : size, 1)));
}

int measure_file(const char* path, std::uint64_t& size) {
    unique_fd file;
    if (const int error = open_for_reading(path, file)) return error;
    if (const int error = seek_end(file.get(), size)) return error;
    return file.close();
}

int read_file_into(const char* path, std::span<std::byte> destination) {
    unique_fd file;
    std::uint64_t size = 0;
    if (const int error = open_for_reading(path, file)) return error;
    if (const int error = seek_end(file.get(), size)) return error;
    if (size != destination.size()) return size_changed_error;
    if (lseek(file.get(), 0, SEEK_SET) < 0) return errno;
    if (const int error = read_exactly(file.get(), destination.data(), destination.size())) return error;
    // A file that grew after it was measured would lose its tail without a word.
    std::byte probe;
    const ssize_t more = ::read(file.get(), &probe, 1);
    if (more < 0) return errno;
    if (more > 0) return size_changed_error;
    return file.close();
}

int read_whole_file(const char* path, image_buffer& image, std::size_t& size) {
    unique_fd file;
    std::uint64_t length = 0;
    if (const int error = open_for_reading(path, file)) return error;
    if (const int error = seek_end(file.get(), length)) return error;
    if (length > SIZE_MAX) return ENOMEM;
    if (lseek(file.get(), 0, SEEK_SET) < 0) return errno;
    image = allocate_image(static_cast<std::size_t>(length));
    if (!image) return ENOMEM;
    size = static_cast<std::size_t>(length);
    if (const int error = read_exactly(file.get(), image.get(), size)) return error;
    return file.close();
}

int replace_file(const char* path, std::span<const std::byte> bytes, existing_link links) {
    ignore_file_size_signal();

    std::string target = path;
    struct stat status;
    if (lstat(path, &status) != 0) {
        if (errno != ENOENT) return errno;
        return write_new_file(target, bytes, nullptr);
    }
    if (S_ISLNK(status.st_mode) && links == existing_link::write_through) {
        // A plain create writes through a symbolic link; so does this, by replacing what it points to.
        // A link that leads nowhere is replaced itself.
        if (char* resolved = realpath(path, nullptr)) {
            target = resolved;
            std::free(resolved);
            if (stat(target.c_str(), &status) != 0) return errno;
        }
    }
    if (S_ISDIR(status.st_mode)) return EISDIR;
    if (S_ISREG(status.st_mode)) return write_new_file(target, bytes, &status);
    if (links == existing_link::replace || S_ISLNK(status.st_mode)) return write_new_file(target, bytes, nullptr);

    // A device or a pipe named by the user can't be replaced, only written to.
    unique_fd file(::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (file.get() < 0) return errno;
    if (const int error = write_exactly(file.get(), bytes.data(), bytes.size())) return error;
    return file.close();
}

}  // namespace brel
