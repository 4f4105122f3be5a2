// Preloaded into a program under test to make the system misbehave, as BREL_FAULT says, one fault a line:
//   open:PATH:COMMAND  the command runs just before PATH is first opened for reading
//   opened:PATH:COMMAND the command runs just after PATH is first opened for reading
//   write:COMMAND      the command runs just before the first write or splice of 10 000 bytes or more
//   pread:COMMAND      the command runs just before the first pread
//   pwrite:COMMAND     the command runs just before the first pwrite
//   pwrite-short:ERRNO the first pwrite writes half its bytes; every later one fails with that error number
//   splice:ERRNO       the first splice fails with that error number
//   fallocate:ERRNO    reserving room fails with that error number
//   tmpfile:ERRNO      creating a file without a name fails with that error number
//   rename:ERRNO       renaming fails with that error number
//   rename2:ERRNO      swapping two names (renameat2) fails with that error number
//   no-write-back:     write-back is never started early, so that only a flush puts bytes on the disk
// A COMMAND is a shell command, or "raise N" to send the program signal N itself (a shell's kill would
// come while system() ignores SIGINT and SIGQUIT).
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Each fault strikes once: what follows "kind:" in BREL_FAULT when a fault of that kind has not struck yet.
const char* strike(const std::string& kind) {
    static std::string struck, argument;
    const char* faults = getenv("BREL_FAULT");
    if (faults == nullptr || struck.find(kind + "\n") != std::string::npos) return nullptr;
    for (const char* line = faults; *line != '\0';) {
        const char* end = std::strchr(line, '\n');
        if (std::strncmp(line, (kind + ":").c_str(), kind.size() + 1) == 0) {
            struck += kind + "\n";
            unsetenv("LD_PRELOAD");  // the command's own programs run as they are
            argument.assign(line + kind.size() + 1, end != nullptr ? end : line + std::strlen(line));
            return argument.c_str();
        }
        if (end == nullptr) break;
        line = end + 1;
    }
    return nullptr;
}

template <typename Function>
Function real(const char* name) { return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name)); }

void perform(const char* command) {
    if (std::strncmp(command, "raise ", 6) == 0) std::raise(std::atoi(command + 6));
    else if (std::system(command) != 0) std::abort();
}

int fail_with(const char* error) { return errno = std::atoi(error), -1; }

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    const bool reading = (flags & O_ACCMODE) == O_RDONLY;
    if (const char* command = reading ? strike(std::string("open:") + path) : nullptr) perform(command);
    const int file = real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
    if (const char* command = reading && file >= 0 ? strike(std::string("opened:") + path) : nullptr) perform(command);
    return file;
}

extern "C" int openat(int folder, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    if (const char* error = (flags & O_TMPFILE) == O_TMPFILE ? strike("tmpfile") : nullptr) return fail_with(error);
    return real<int (*)(int, const char*, int, ...)>("openat")(folder, path, flags, mode);
}

extern "C" int fallocate(int fd, int mode, off_t offset, off_t length) {
    if (const char* error = strike("fallocate")) return fail_with(error);
    return real<int (*)(int, int, off_t, off_t)>("fallocate")(fd, mode, offset, length);
}


extern "C" ssize_t write(int fd, const void* bytes, size_t size) {
    if (const char* command = size >= 10000 ? strike("write") : nullptr) perform(command);
    return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, bytes, size);
}

extern "C" ssize_t splice(int from, loff_t* from_offset, int to, loff_t* to_offset, size_t size, unsigned flags) {
    if (const char* command = size >= 10000 ? strike("write") : nullptr) perform(command);
    if (const char* error = strike("splice")) return fail_with(error);
    return real<ssize_t (*)(int, loff_t*, int, loff_t*, size_t, unsigned)>("splice")(from, from_offset, to, to_offset, size, flags);
}

extern "C" ssize_t pread(int fd, void* bytes, size_t size, off_t offset) {
    if (const char* command = strike("pread")) perform(command);
    return real<ssize_t (*)(int, void*, size_t, off_t)>("pread")(fd, bytes, size, offset);
}

extern "C" ssize_t pwrite(int fd, const void* bytes, size_t size, off_t offset) {
    if (const char* command = strike("pwrite")) perform(command);
    static const char* later_error = nullptr;
    if (later_error != nullptr) return fail_with(later_error);
    if ((later_error = strike("pwrite-short")) != nullptr) size /= 2;
    return real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, bytes, size, offset);
}

extern "C" int sync_file_range(int fd, off_t offset, off_t length, unsigned flags) {
    const char* faults = getenv("BREL_FAULT");
    if (faults != nullptr && std::strstr(faults, "no-write-back:") != nullptr) return 0;
    return real<int (*)(int, off_t, off_t, unsigned)>("sync_file_range")(fd, offset, length, flags);
}

extern "C" int renameat(int from_folder, const char* from, int to_folder, const char* to) {
    if (const char* error = strike("rename")) return fail_with(error);
    return real<int (*)(int, const char*, int, const char*)>("renameat")(from_folder, from, to_folder, to);
}

extern "C" int renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned flags) {
    if (const char* error = strike("rename2")) return fail_with(error);
    return real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(from_folder, from, to_folder, to, flags);
}
