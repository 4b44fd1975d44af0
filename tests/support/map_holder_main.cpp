// tavl_map_holder: a second process for the Windows tests. It opens the file
// given as its first argument for reading (sharing reads only) and maps it
// read-only under the kernel object name given as its second (unnamed when
// that is empty), prints "ready" once the mapping and its view exist, and
// keeps all of them until its standard input reaches its end. While it
// holds them, any CreateFileMappingA under the same name in another process
// finds this section, whatever file that process passes, and the file can
// be neither written nor replaced.
#include <windows.h>

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::printf("usage: tavl_map_holder PATH NAME\n");
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("failed: open %lu\n", GetLastError());
        return 1;
    }
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0,
                                        argv[2][0] ? argv[2] : nullptr);
    if (!mapping) {
        std::printf("failed: mapping %lu\n", GetLastError());
        return 1;
    }
    const void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (!view) {
        std::printf("failed: view %lu\n", GetLastError());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(file);
    return 0;
}
