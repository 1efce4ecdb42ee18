// Lists a release folder with FindFirstFileA for the Windows make_manifest. A junction that
// loops ends the walk once the path outgrows MAX_PATH and the search fails.
#include "tools/release_walk.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

static std::string join(const std::string& folder, const char* name)
{
    return folder.empty() ? std::string(name) : folder + "/" + name;
}

static std::string error_number_text(DWORD error)
{
    char text[32];
    std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(error));
    return text;
}

static bool walk_folder(const std::string& root, const std::string& relative, std::vector<ReleaseFile>& files,
                        std::string& error_text)
{
    std::string pattern = (relative.empty() ? root : root + "\\" + relative) + "\\*";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        error_text = (relative.empty() ? root : relative) + ": can't open the folder: " +
                     error_number_text(GetLastError());
        return false;
    }
    bool ok = true;
    do {
        if (lstrcmpA(found.cFileName, ".") == 0 || lstrcmpA(found.cFileName, "..") == 0) {
            continue;
        }
        std::string path = join(relative, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = walk_folder(root, path, files, error_text);
        } else {
            uint64_t size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            files.push_back(ReleaseFile{path, size});
        }
    } while (ok && FindNextFileA(search, &found));
    if (ok && GetLastError() != ERROR_NO_MORE_FILES) {
        error_text = (relative.empty() ? root : relative) + ": can't read the folder: " +
                     error_number_text(GetLastError());
        ok = false;
    }
    FindClose(search);
    return ok;
}

bool list_release_files(const std::string& root, std::vector<ReleaseFile>& files, std::string& error_text)
{
    DWORD attributes = GetFileAttributesA(root.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error_text = root + ": not a folder";
        return false;
    }
    files.clear();
    return walk_folder(root, "", files, error_text);
}

void use_binary_stdout()
{
    _setmode(_fileno(stdout), _O_BINARY);
}
