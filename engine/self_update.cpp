// The replacement of the running launcher by the one the update list carries: download it beside
// the running executable, swap the two files, start the new launcher and close this one. Any
// failure puts the running executable back under its name and the pass goes on without it.
#include "engine/self_update.h"

#include <windows.h>

#include "engine/pass_report.h"

static const char new_launcher_name[] = "Launcher.new.exe";
static const char old_launcher_name[] = "Launcher.old.exe";
static const int download_attempts = 3;

static std::string old_launcher_path(const std::string& folder)
{
    return folder + old_launcher_name;
}

// A launcher installed read-only keeps that attribute when a swap moves it aside; DeleteFileA
// refuses such a file, and on Windows the next swap could not move over it either.
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

// The bar shows this file alone, from 0 on every attempt.
static bool download_new_launcher(const DownloadSource& source, const PassObserver& observer,
                                  const UpdateEntry& entry, const std::string& new_path)
{
    std::string error_text;
    for (int attempt = 0; attempt < download_attempts; ++attempt) {
        DownloadProgress progress = download_progress(observer, entry.size);
        if (download_file(source, entry, new_path, begin_file(progress, entry.path), error_text))
            return true;
    }
    return false;
}

// The single-instance lock goes before the new process exists, so that its own check passes at
// once while this process is still closing. It is not taken again, whatever the start's outcome.
static bool start_new_launcher(const std::string& folder, const std::string& own_path,
                               const PassObserver& observer)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    observer.release_instance(observer.context);
    if (!CreateProcessA(own_path.c_str(), NULL, NULL, NULL, FALSE, 0, NULL, folder.c_str(),
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// Moves the running executable aside, the new one into its name, and starts it. On a failure the
// running executable goes back under its name; only a file this call moved away is moved back,
// so an older "Launcher.old.exe" that could not be deleted never lands on the launcher's name.
// The two moves follow each other with nothing between them and are written through in order:
// between them the launcher's name is free, and Windows has no way to exchange two names at once
// nor to move a file over a running program.
static bool swap_and_start(const std::string& folder, const std::string& own_path,
                           const std::string& new_path, const PassObserver& observer)
{
    const DWORD move_flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    std::string old_path = old_launcher_path(folder);
    remove_old_launcher(folder);
    if (!MoveFileExA(own_path.c_str(), old_path.c_str(), move_flags))
        return false;
    if (MoveFileExA(new_path.c_str(), own_path.c_str(), move_flags) &&
        start_new_launcher(folder, own_path, observer))
        return true;
    MoveFileExA(old_path.c_str(), own_path.c_str(), move_flags);
    return false;
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
    const std::string own_path = source.folder + launcher_file;
    const std::string new_path = source.folder + new_launcher_name;

    show_status(observer, "Updating the launcher...");
    if (download_new_launcher(source, observer, entry, new_path) &&
        swap_and_start(source.folder, own_path, new_path, observer))
        return true;
    // Silent on purpose: the launcher keeps working as it is, and the pass goes on with the game.
    // A part of the new launcher is not kept either: nothing else would ever remove it.
    DeleteFileA(new_path.c_str());
    DeleteFileA((new_path + ".part").c_str());
    give_up(check);
    return false;
}
