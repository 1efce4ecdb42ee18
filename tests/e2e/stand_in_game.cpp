// A stand-in for the game program: writes how it was started (working directory, whole command
// line, argument count) to "game_record.txt" beside itself and ends, for the START tests.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char own_path[MAX_PATH] = "";
    GetModuleFileNameA(NULL, own_path, sizeof own_path);
    char* last_backslash = strrchr(own_path, '\\');
    if (last_backslash)
        last_backslash[1] = '\0';
    // Written under another name and renamed, so that a reader never sees half a record.
    char record_path[MAX_PATH + 32];
    snprintf(record_path, sizeof record_path, "%sgame_record.txt", own_path);
    char partial_path[MAX_PATH + 32];
    snprintf(partial_path, sizeof partial_path, "%sgame_record.partial", own_path);

    char working_dir[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof working_dir, working_dir);

    FILE* record = fopen(partial_path, "wb");
    if (!record)
        return 1;
    fprintf(record, "cwd=%s\ncmdline=%s\nargc=%d\n", working_dir, GetCommandLineA(), __argc);
    fclose(record);
    return MoveFileA(partial_path, record_path) ? 0 : 1;
}
