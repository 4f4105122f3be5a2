// Preloaded into a program under test to change a file after it was measured (brelpack measures
// without opening) and before it is read: BREL_FAULT=vanish:PATH removes PATH just before it is first
// opened for reading; BREL_FAULT=grow:PATH appends a byte to it instead.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

using open_function = int (*)(const char*, int, ...);

namespace {

bool injected;

void inject(const char* path, int flags) {
    const char* fault = getenv("BREL_FAULT");
    const char* colon = fault ? std::strchr(fault, ':') : nullptr;
    if (colon == nullptr || (flags & O_ACCMODE) != O_RDONLY || strcmp(colon + 1, path) != 0) return;
    if (injected) return;
    injected = true;
    if (strncmp(fault, "vanish:", 7) == 0) {
        unlink(path);
    } else if (strncmp(fault, "grow:", 5) == 0) {
        const auto real_open = reinterpret_cast<open_function>(dlsym(RTLD_NEXT, "open"));
        const int fd = real_open(path, O_WRONLY | O_APPEND);
        if (fd >= 0 && write(fd, "+", 1) == 1) close(fd);
    }
}

}  // namespace

#define FORWARD(name)                                                                                   \
    extern "C" int name(const char* path, int flags, ...) {                                                       \
        mode_t mode = 0;                                                                               \
        if (flags & (O_CREAT | O_TMPFILE)) {                                                           \
            va_list arguments;                                                                          \
            va_start(arguments, flags);                                                                 \
            mode = va_arg(arguments, mode_t);                                                           \
            va_end(arguments);                                                                          \
        }                                                                                               \
        inject(path, flags);                                                                            \
        const auto real = reinterpret_cast<open_function>(dlsym(RTLD_NEXT, #name));                  \
        return real(path, flags, mode);                                                                 \
    }

FORWARD(open)
FORWARD(open64)
