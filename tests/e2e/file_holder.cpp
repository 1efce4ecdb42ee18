// A stand-in for a running game that holds one of its files open, for the end-to-end tests of a
// download whose move into place must fail: opens the file the way a game reads its data (read
// and write sharing, no delete sharing), says "held" on stdout and keeps it open until stdin
// closes or a line arrives.
// Usage: file_holder <file>
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: file_holder <file>\n");
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        printf("error %lu\n", GetLastError());
        fflush(stdout);
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    char line[16];
    fgets(line, sizeof line, stdin);
    CloseHandle(file);
    printf("released\n");
    fflush(stdout);
    return 0;
}
