// Preloaded into a program under test to make the system misbehave once, as BREL_FAULT says:
//   open:PATH:COMMAND  the shell command runs just before PATH is first opened for reading
//   mmap:COMMAND       the shell command runs right after a file is first mapped
//   fallocate:ERRNO    reserving room fails with that error number
//   tmpfile:ERRNO      creating a file without a name fails with that error number
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool struck;

// What follows "kind:" in BREL_FAULT when the fault is of that kind and has not struck yet; it strikes now.
const char* strike(const std::string& kind) {
    const char* fault = getenv("BREL_FAULT");
    if (struck || fault == nullptr || std::strncmp(fault, (kind + ":").c_str(), kind.size() + 1) != 0) return nullptr;
    struck = true;
    unsetenv("LD_PRELOAD");  // the command's own programs run as they are
    return fault + kind.size() + 1;
}

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int fail_with(const char* error) {
    errno = std::atoi(error);
    return -1;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        if (const char* error = strike("tmpfile")) return fail_with(error);
    } else if ((flags & O_ACCMODE) == O_RDONLY) {
        if (const char* command = strike(std::string("open:") + path)) {
            if (std::system(command) != 0) std::abort();
        }
    }
    return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

extern "C" int fallocate(int fd, int mode, off_t offset, off_t length) {
    if (const char* error = strike("fallocate")) return fail_with(error);
    return real<int (*)(int, int, off_t, off_t)>("fallocate")(fd, mode, offset, length);
}

extern "C" void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    void* mapped = real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap")(address, length, protection, flags, fd, offset);
    if (const char* command = fd >= 0 ? strike("mmap") : nullptr) {
        if (std::system(command) != 0) std::abort();
    }
    return mapped;
}
