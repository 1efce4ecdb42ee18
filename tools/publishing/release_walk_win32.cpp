// Lists a release folder with FindFirstFileA for the Windows make_manifest. A junction that
// loops ends the walk once the path outgrows MAX_PATH and the search fails. Makes folders, and
// writes the signing key file with an access list of its own that lets in its owner only.
#include "tools/publishing/release_walk.h"

#include <windows.h>
#include <sddl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <vector>

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

bool make_folder(const std::string& path, std::string& error_text)
{
    if (CreateDirectoryA(path.c_str(), nullptr)) {
        return true;
    }
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return true;
    }
    error_text = path + ": can't make the folder: " + error_number_text(error);
    return false;
}

void use_binary_stdout()
{
    _setmode(_fileno(stdout), _O_BINARY);
}

// The access list of the key file in SDDL: protected (nothing inherited from the folder), with
// one entry, full access for the user running the tool. The user's own SID rather than "owner
// rights" because wine maps only a SID it knows to the file's POSIX mode.
static bool owner_only_sddl(std::string& sddl, std::string& error_text)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        error_text = "can't read the user's identity: " + error_number_text(GetLastError());
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    char* sid_text = nullptr;
    bool ok = size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
              ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid_text);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (!ok) {
        error_text = "can't read the user's identity: " + error_number_text(error);
        return false;
    }
    sddl = std::string("D:P(A;;FA;;;") + sid_text + ")";
    LocalFree(sid_text);
    return true;
}

bool create_private_file(const std::string& name, const std::string& text, std::string& error_text)
{
    std::string sddl;
    if (!owner_only_sddl(sddl, error_text)) {
        error_text = name + ": " + error_text;
        return false;
    }
    SECURITY_ATTRIBUTES security = {};
    security.nLength = sizeof security;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &security.lpSecurityDescriptor, nullptr)) {
        error_text = name + ": can't make an owner-only access list: " + error_number_text(GetLastError());
        return false;
    }
    HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    LocalFree(security.lpSecurityDescriptor);
    if (file == INVALID_HANDLE_VALUE) {
        error_text = name + (error == ERROR_FILE_EXISTS ? ": exists already; a key file is never replaced"
                                                        : ": can't create: " + error_number_text(error));
        return false;
    }
    DWORD count = 0;
    bool written = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &count, nullptr) &&
                   count == text.size() && FlushFileBuffers(file);
    written = CloseHandle(file) && written;
    if (!written) {
        DeleteFileA(name.c_str());
        error_text = name + ": can't write";
    }
    return written;
}
