// The replacement of the running launcher by the one the update list carries. The running
// launcher never renames itself: it downloads the new one beside it as "Launcher.new.exe",
// starts it and closes. The new one waits until the old has let go of its file, then moves
// itself over the launcher's name in one step and starts from there. So the launcher's name holds
// a whole launcher at every moment a crash or a power cut could pick: the old one or the new one.
#include "engine/self_update.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "engine/download_batch.h"
#include "engine/pass_report.h"
#include "update_list/hash_cache.h"
#include "update_list/safe_path.h"

static const char new_launcher_name[] = "Launcher.new.exe";
// Where launchers that moved themselves aside left their old file; still removed.
static const char old_launcher_name[] = "Launcher.old.exe";
static const int download_attempts = 3;
// How long a new launcher waits for the old one to let go of its file.
static const DWORD take_over_wait_ms = 30000;
static const DWORD take_over_retry_ms = 100;

static std::string old_launcher_path(const std::string& folder)
{
    return folder + old_launcher_name;
}

// A launcher installed read-only kept that attribute when it was moved aside; DeleteFileA refuses
// such a file.
static void remove_old_launcher(const std::string& folder)
{
    std::string path = old_launcher_path(folder);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

void remove_launcher_leftovers(const std::string& folder, bool with_part)
{
    remove_old_launcher(folder);
    std::string new_path = folder + new_launcher_name;
    DeleteFileA(new_path.c_str());
    if (with_part)
        DeleteFileA((new_path + ".part").c_str());
}

static bool start_program(const std::string& folder, const std::string& path, char* command_line)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(path.c_str(), command_line, NULL, NULL, FALSE, 0, NULL, folder.c_str(),
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// The bar shows this file alone, from 0 on every attempt.
static bool download_new_launcher(const DownloadSource& source, const PassObserver& observer,
                                  const UpdateEntry& entry, const std::string& new_path)
{
    std::string error_text;
    for (int attempt = 0; attempt < download_attempts; ++attempt) {
        DownloadProgress progress = download_progress(observer, entry.size);
        if (download_file(source, listed_file(entry), new_path, begin_file(progress, entry.path),
                          error_text))
            return true;
    }
    return false;
}

// The single-instance lock goes before the new process exists, so that the new launcher's own
// check passes at once while this process is still closing. It is not taken again, whatever the
// start's outcome. The new launcher learns the name to take over from its command line.
static bool start_successor(const std::string& folder, const std::string& new_path,
                            const std::string& launcher_file, const PassObserver& observer)
{
    std::string command = "\"" + new_path + "\" \"" + launcher_file + "\"";
    std::vector<char> command_line(command.begin(), command.end());
    command_line.push_back('\0');
    observer.release_instance(observer.context);
    return start_program(folder, new_path, command_line.data());
}

static void give_up(LocalCheck& check)
{
    check.download_total -= check.download_list[size_t(check.self_index)].size;
    check.download_list.erase(check.download_list.begin() + check.self_index);
    check.self_index = -1;
}

bool replace_launcher(const DownloadSource& source, const std::string& launcher_file,
                      const PassObserver& observer, LocalCheck& check)
{
    const UpdateEntry entry = check.download_list[size_t(check.self_index)];
    const std::string new_path = source.folder + new_launcher_name;

    show_status(observer, "Updating the launcher...");
    if (download_new_launcher(source, observer, entry, new_path) &&
        start_successor(source.folder, new_path, launcher_file, observer))
        return true;
    // Silent on purpose: the launcher keeps working as it is, and the pass goes on with the game.
    // A part of the new launcher is not kept either: nothing else would ever remove it.
    DeleteFileA(new_path.c_str());
    DeleteFileA((new_path + ".part").c_str());
    give_up(check);
    return false;
}

// The name the old launcher hands over: one plain file name of the game folder, quoted.
static bool read_handed_name(const char* arguments, std::string& name)
{
    const char* at = arguments;
    while (*at == ' ' || *at == '\t')
        ++at;
    if (*at != '"')
        return false;
    const char* end = strchr(at + 1, '"');
    if (end == NULL)
        return false;
    name.assign(at + 1, end);
    return is_safe_relative_path(name.data(), name.size()) &&
           name.find_first_of("\\/") == std::string::npos &&
           cache_key(name) != cache_key(new_launcher_name);
}

// Moves the running new launcher over the old one's name in one step, which Windows refuses while
// the old launcher still runs from that file; a read-only old launcher is made writable first.
static bool take_name(const std::string& own_path, const std::string& target)
{
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    return MoveFileExA(own_path.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool take_over_launcher_name(const std::string& folder, const std::string& own_file,
                             const char* arguments)
{
    std::string name;
    if (cache_key(own_file) != cache_key(new_launcher_name) || !read_handed_name(arguments, name))
        return false;
    std::string own_path = folder + own_file;
    std::string target = folder + name;
    DWORD began = GetTickCount();
    while (!take_name(own_path, target) && DWORD(GetTickCount() - began) < take_over_wait_ms)
        Sleep(take_over_retry_ms);
    // Whichever launcher holds the name now starts; an old one finds the new one still needed.
    start_program(folder, target, NULL);
    return true;
}
