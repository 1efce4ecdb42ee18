// The part file beside a target: its tag, its folders, its flush and its move into place.
#include "transfer/part_file.h"

#include <windows.h>

#include "transfer/move_failure.h"

static const char tag_suffix[] = ".tag";
static const DWORD tag_limit = 1024;

const char rebuilt_part_mark[] = "rebuilt from blocks";
const char verified_part_mark[] = "rebuilt and verified";

static std::string tag_path(const std::string& part_path)
{
    return part_path + tag_suffix;
}

bool read_part_tag(const std::string& part_path, PartTag& tag)
{
    HANDLE file = CreateFileA(tag_path(part_path).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                              NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char bytes[tag_limit];
    DWORD got = 0;
    bool read = ReadFile(file, bytes, tag_limit, &got, NULL) != 0;
    CloseHandle(file);
    std::string text(bytes, read ? got : 0);
    size_t first_end = text.find('\n');
    size_t second_end = first_end == std::string::npos ? first_end : text.find('\n', first_end + 1);
    if (second_end == std::string::npos || first_end == 0 || second_end == first_end + 1)
        return false;
    tag.md5 = text.substr(0, first_end);
    tag.validator = text.substr(first_end + 1, second_end - first_end - 1);
    return true;
}

void write_part_tag(const std::string& part_path, const PartTag& tag)
{
    std::string path = tag_path(part_path);
    if (tag.validator.empty() || tag.validator.find_first_of("\r\n") != std::string::npos) {
        DeleteFileA(path.c_str());
        return;
    }
    std::string text = tag.md5 + "\n" + tag.validator + "\n";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    bool whole = WriteFile(file, text.data(), DWORD(text.size()), &written, NULL) && written == text.size();
    CloseHandle(file);
    if (!whole)
        DeleteFileA(path.c_str());
}

void remove_part(const std::string& part_path)
{
    DeleteFileA(part_path.c_str());
    DeleteFileA(tag_path(part_path).c_str());
}

void create_folders(const std::string& folder, const std::string& target)
{
    for (size_t i = folder.size(); i < target.size(); ++i) {
        if (target[i] == '\\')
            CreateDirectoryA(target.substr(0, i).c_str(), NULL);
    }
}

bool flush_part(const std::string& part_path, std::string& error_text)
{
    HANDLE part = CreateFileA(part_path.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    bool flushed = part != INVALID_HANDLE_VALUE && FlushFileBuffers(part);
    if (part != INVALID_HANDLE_VALUE && !CloseHandle(part))
        flushed = false;
    if (!flushed)
        error_text = "disk full?";
    return flushed;
}

// The error of opening `path` for `access` with every kind of sharing allowed; 0 when that works.
static DWORD open_error(const std::string& path, DWORD access)
{
    HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(file);
    return 0;
}

// What a move over `target` needs of it: deleting it (refused while another program holds it
// without delete sharing), then writing it (refused while it runs as a program).
static DWORD place_probe_error(const std::string& target)
{
    DWORD error = open_error(target, DELETE);
    return error != 0 ? error : open_error(target, GENERIC_WRITE);
}

// Only a refusal of the delete-open as shared counts: a read-only file opens for deletion, and
// the move takes care of its attribute.
bool may_take_name(const std::string& target, std::string& error_text)
{
    DWORD attributes = GetFileAttributesA(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error_text = move_failure_text(0, true, 0);
        return false;
    }
    DWORD error = open_error(target, DELETE);
    if (error != error_sharing_violation && error != error_lock_violation && error != error_user_mapped_file)
        return true;
    error_text = move_failure_text(error, false, 0);
    return false;
}

// Windows refuses to move over a read-only file (wine does not), so such a target is made
// writable and the move tried once more. What is left of a refusal is told apart: a folder under
// the file's name, a file held open, a place the player may not write.
bool place_part(const std::string& part_path, const std::string& target, bool tagged, std::string& error_text)
{
    const DWORD move_flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    bool moved = MoveFileExA(part_path.c_str(), target.c_str(), move_flags) != 0;
    DWORD error = moved ? 0 : GetLastError();
    DWORD attributes = moved ? 0 : GetFileAttributesA(target.c_str());
    bool is_folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!moved && !is_folder && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        moved = MoveFileExA(part_path.c_str(), target.c_str(), move_flags) != 0;
        error = moved ? 0 : GetLastError();
    }
    if (moved) {
        if (tagged)
            DeleteFileA(tag_path(part_path).c_str());
        return true;
    }
    DWORD probe = !is_folder && error == error_access_denied ? place_probe_error(target) : 0;
    error_text = move_failure_text(error, is_folder, probe);
    return false;
}
