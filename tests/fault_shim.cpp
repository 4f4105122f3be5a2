// Preloaded into a program under test to make the system misbehave once, as BREL_FAULT says:
//   vanish:PATH      PATH is removed just before it is first opened for reading
//   grow:PATH        a byte is appended to PATH then; shrink:PATH cuts its last byte off
//   stall:PATH       "stalled" is written to standard error then, and the program waits to be killed
//   shorten:PATH:N   PATH is cut to N bytes right after a file is first mapped
//   fallocate:ERRNO  reserving room fails with ENOSPC or EOPNOTSUPP
//   tmpfile:ERRNO    creating a file without a name fails with EOPNOTSUPP
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool injected;

// The argument of BREL_FAULT when it is of this kind and has not struck yet.
const char* fault_argument(const char* kind) {
    const char* fault = getenv("BREL_FAULT");
    const std::size_t length = std::strlen(kind);
    if (injected || fault == nullptr || std::strncmp(fault, kind, length) != 0 || fault[length] != ':') return nullptr;
    return fault + length + 1;
}

int error_named(const char* name) { return std::strcmp(name, "ENOSPC") == 0 ? ENOSPC : EOPNOTSUPP; }

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using open_function = int (*)(const char*, int, ...);

void before_open(const char* path, int flags) {
    if ((flags & O_ACCMODE) != O_RDONLY) return;
    for (const char* kind : {"vanish", "grow", "shrink", "stall"}) {
        const char* target = fault_argument(kind);
        if (target == nullptr || std::strcmp(target, path) != 0) continue;
        injected = true;
        if (kind[0] == 'v') {
            unlink(path);
        } else if (kind[0] == 'g') {
            const int fd = real<open_function>("open")(path, O_WRONLY | O_APPEND);
            if (fd >= 0 && write(fd, "+", 1) == 1) close(fd);
        } else if (kind[1] == 'h') {
            struct stat status;
            if (stat(path, &status) != 0 || truncate(path, status.st_size - 1) != 0) std::abort();
        } else {
            if (write(STDERR_FILENO, "stalled\n", 8) == 8) pause();
        }
    }
}

}  // namespace

#define FORWARD_OPEN(name)                                                                                     \
    extern "C" int name(const char* path, int flags, ...) {                                                   \
        mode_t mode = 0;                                                                                       \
        if (flags & (O_CREAT | O_TMPFILE)) {                                                                   \
            va_list arguments;                                                                                 \
            va_start(arguments, flags);                                                                        \
            mode = va_arg(arguments, mode_t);                                                                  \
            va_end(arguments);                                                                                 \
        }                                                                                                      \
        if ((flags & O_TMPFILE) == O_TMPFILE) {                                                                \
            if (const char* error = fault_argument("tmpfile")) {                                               \
                errno = error_named(error);                                                                    \
                return -1;                                                                                     \
            }                                                                                                  \
        }                                                                                                      \
        before_open(path, flags);                                                                              \
        return real<open_function>(#name)(path, flags, mode);                                                  \
    }

FORWARD_OPEN(open)
FORWARD_OPEN(open64)

#define FORWARD_FALLOCATE(name)                                                                                \
    extern "C" int name(int fd, int mode, off_t offset, off_t length) {                                        \
        if (const char* error = fault_argument("fallocate")) {                                                 \
            injected = true;                                                                                   \
            errno = error_named(error);                                                                        \
            return -1;                                                                                         \
        }                                                                                                      \
        return real<int (*)(int, int, off_t, off_t)>(#name)(fd, mode, offset, length);                          \
    }

FORWARD_FALLOCATE(fallocate)
FORWARD_FALLOCATE(fallocate64)

#define FORWARD_MMAP(name)                                                                                     \
    extern "C" void* name(void* address, size_t length, int protection, int flags, int fd, off_t offset) {     \
        void* mapped = real<void* (*)(void*, size_t, int, int, int, off_t)>(#name)(address, length, protection, \
                                                                                  flags, fd, offset);          \
        if (const char* target = fault_argument("shorten"); target != nullptr && fd >= 0) {                    \
            injected = true;                                                                                   \
            const std::string argument = target;                                                               \
            const std::size_t colon = argument.rfind(':');                                                     \
            if (truncate(argument.substr(0, colon).c_str(), std::stoll(argument.substr(colon + 1))) != 0) {    \
                std::abort();                                                                                  \
            }                                                                                                  \
        }                                                                                                      \
        return mapped;                                                                                         \
    }

FORWARD_MMAP(mmap)
FORWARD_MMAP(mmap64)
