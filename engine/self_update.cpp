// The replacement of the running launcher by the one the update list carries: download it beside
// the running executable, swap the two files, start the new launcher and close this one. Any
// failure puts the running executable back under its name and the pass goes on without it.
#include "engine/self_update.h"

#include <string>

#include "shell/launcher_state.h"
#include "shell/status.h"
#include "transfer/download.h"

static const char new_launcher_name[] = "Launcher.new.exe";
static const char old_launcher_name[] = "Launcher.old.exe";
static const int download_attempts = 3;

static std::string old_launcher_path()
{
    return std::string(program_dir) + old_launcher_name;
}

// A launcher installed read-only keeps that attribute when a swap moves it aside; DeleteFileA
// refuses such a file, and on Windows the next swap could not move over it either.
void remove_old_launcher()
{
    std::string path = old_launcher_path();
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

static bool download_new_launcher(const UpdateEntry& entry, const std::string& new_path)
{
    std::string error_text;
    for (int attempt = 0; attempt < download_attempts; ++attempt) {
        // The bar shows this file alone, from 0 on every attempt.
        uint64_t done_bytes = 0;
        if (download_file(entry, new_path, done_bytes, entry.size, error_text))
            return true;
    }
    return false;
}

// The mutex goes before the new process exists, so that its single-instance check passes at once
// while this process is still closing. It is not taken again, whatever the start's outcome.
static bool start_new_launcher(const std::string& own_path)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (instance_mutex != NULL) {
        CloseHandle(instance_mutex);
        instance_mutex = NULL;
    }
    if (!CreateProcessA(own_path.c_str(), NULL, NULL, NULL, FALSE, 0, NULL, program_dir, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// Moves the running executable aside, the new one into its name, and starts it. On a failure the
// running executable goes back under its name; only a file this call moved away is moved back,
// so an older "Launcher.old.exe" that could not be deleted never lands on the launcher's name.
static bool swap_and_start(const std::string& own_path, const std::string& new_path,
                           const std::string& old_path)
{
    remove_old_launcher();
    if (!MoveFileExA(own_path.c_str(), old_path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return false;
    if (MoveFileExA(new_path.c_str(), own_path.c_str(), MOVEFILE_REPLACE_EXISTING) &&
        start_new_launcher(own_path))
        return true;
    MoveFileExA(old_path.c_str(), own_path.c_str(), MOVEFILE_REPLACE_EXISTING);
    return false;
}

static void give_up(LocalCheck& check)
{
    check.download_total -= check.download_list[size_t(check.self_index)].size;
    check.download_list.erase(check.download_list.begin() + check.self_index);
    check.self_index = -1;
}

bool replace_launcher(LocalCheck& check)
{
    const UpdateEntry entry = check.download_list[size_t(check.self_index)];
    const std::string own_path = std::string(program_dir) + program_file;
    const std::string new_path = std::string(program_dir) + new_launcher_name;
    const std::string old_path = old_launcher_path();

    set_status("Updating the launcher...");
    if (download_new_launcher(entry, new_path) && swap_and_start(own_path, new_path, old_path)) {
        // Cleared first, so the window closes without asking whether to stop the update.
        InterlockedExchange(&update_running, 0);
        PostMessageA(main_window, WM_CLOSE, 0, 0);
        return true;
    }
    // Silent on purpose: the launcher keeps working as it is, and the pass goes on with the game.
    DeleteFileA(new_path.c_str());
    give_up(check);
    return false;
}
