// Replacing a small file whole: a temporary file beside it, flushed, then moved over it. The
// flush comes first so that the new name can never reach the disk before the new bytes do.
#include "game_folder/durable_file.h"

#include <windows.h>

static bool write_flushed(const std::string& path, const std::string& content)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, content.data(), DWORD(content.size()), &written, NULL) &&
              written == content.size() && FlushFileBuffers(file);
    return CloseHandle(file) && ok;
}

bool replace_file_durably(const std::string& path, const std::string& content)
{
    std::string temporary = path + ".tmp";
    if (write_flushed(temporary, content) &&
        MoveFileExA(temporary.c_str(), path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileA(temporary.c_str());
    return false;
}
