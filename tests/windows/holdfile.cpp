// Holds a file open as a virus scanner does while it looks into a new file:
// opens the file named (creating it), says "held", and keeps it open until a
// line comes on the standard input. For the Windows lane, under Wine.
#include <windows.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: holdfile FILE\n");
        return 2;
    }
    const HANDLE file = ::CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s: error %lu\n", argv[1], ::GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char line[16];
    std::fgets(line, sizeof line, stdin);
    ::CloseHandle(file);
    return 0;
}
