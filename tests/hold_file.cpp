// Run under wine beside the programs: holds a file open, sharing it with nobody, for a while, as a
// virus scanner or an indexer does. Prints "held" once it does.
#include <windows.h>
#include <cstdio>
#include <cstdlib>
int main(int argc, char** argv) {
    if (argc != 3) return 2;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::atoi(argv[2])));
    CloseHandle(file);
    return 0;
}
