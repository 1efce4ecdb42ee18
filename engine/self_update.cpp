// The replacement of the running launcher by the one the update list carries. The running
// launcher never renames itself: it downloads the new one beside it as "Launcher.new.exe",
// starts it and closes. The new one waits until the old has let go of its file, then moves
// itself over the launcher's name in one step and starts from there. So the launcher's name holds
// a whole launcher at every moment a crash or a power cut could pick: the old one or the new one.
// A new launcher that gives up waiting starts the old one again, marked, so that the old one does
// not hand over to yet another new one for ever.
#include "engine/self_update.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "engine/pass_report.h"
#include "transfer/part_file.h"
#include "update_list/hash_cache.h"
#include "update_list/safe_path.h"

static const char new_launcher_name[] = "Launcher.new.exe";
// Where launchers that moved themselves aside left their old file; still removed.
static const char old_launcher_name[] = "Launcher.old.exe";
// What a new launcher that could not take the name hands the old one it starts again.
static const char not_replaced_marker[] = "--not-replaced";
static const int download_attempts = 3;
// How long a new launcher waits for the old one to let go of its file.
static const uint32_t take_over_wait_ms = 30000;
static const uint32_t take_over_retry_ms = 100;

const char launcher_not_replaced_reason[] = "the new launcher could not take its place";

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
    if (with_part) {
        DeleteFileA((new_path + ".part").c_str());
        DeleteFileA((new_path + ".part.tag").c_str());
    }
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

// The bar shows this file alone, from 0 on every attempt. The new launcher takes its own name at
// once: it is not part of the release's switch.
static bool download_new_launcher(const DownloadSource& source, const PassObserver& observer,
                                  const ListedFile& entry, const std::string& new_path, std::string& error_text)
{
    for (int attempt = 0; attempt < download_attempts; ++attempt) {
        DownloadProgress progress = download_progress(observer, entry.size);
        if (download_file(source, entry, new_path, begin_file(progress, entry.path), error_text) &&
            place_part(new_path + ".part", new_path, true, error_text))
            return true;
    }
    return false;
}

// The single-instance lock goes before the new process exists, so that the new launcher's own
// check passes at once while this process is still closing; when the start fails, it is taken
// back before anything else runs. The new launcher learns the name to take over from its
// command line.
static bool start_successor(const std::string& folder, const std::string& new_path,
                            const std::string& launcher_file, const PassObserver& observer,
                            std::string& error_text)
{
    std::string command = "\"" + new_path + "\" \"" + launcher_file + "\"";
    std::vector<char> command_line(command.begin(), command.end());
    command_line.push_back('\0');
    observer.instance_lock(observer.context, false);
    if (start_program(folder, new_path, command_line.data()))
        return true;
    error_text = "can't start " + std::string(new_launcher_name) + " (error " + std::to_string(GetLastError()) + ")";
    observer.instance_lock(observer.context, true);
    return false;
}

bool replace_launcher(const DownloadSource& source, const std::string& launcher_file,
                      const PassObserver& observer, const ListedFile& entry, std::string& error_text)
{
    const std::string new_path = source.folder + new_launcher_name;
    show_status(observer, "Updating the launcher...");
    if (download_new_launcher(source, observer, entry, new_path, error_text) &&
        start_successor(source.folder, new_path, launcher_file, observer, error_text))
        return true;
    // Nothing else would ever remove a new launcher that is not running, nor its part.
    DeleteFileA(new_path.c_str());
    DeleteFileA((new_path + ".part").c_str());
    DeleteFileA((new_path + ".part.tag").c_str());
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

void run_take_over(const TakeOverSteps& steps)
{
    uint32_t began = steps.now_ms(steps.context);
    bool taken = steps.take_name(steps.context);
    while (!taken && steps.now_ms(steps.context) - began < take_over_wait_ms) {
        steps.pause(steps.context, take_over_retry_ms);
        taken = steps.take_name(steps.context);
    }
    steps.start(steps.context, taken);
}

struct TakeOver {
    std::string folder, own_path, target;
};

// Moves the running new launcher over the old one's name in one step, which Windows refuses while
// the old launcher still runs from that file; a read-only old launcher is made writable first.
static bool take_name(void* context)
{
    const TakeOver& take_over = *static_cast<const TakeOver*>(context);
    SetFileAttributesA(take_over.target.c_str(), FILE_ATTRIBUTE_NORMAL);
    return MoveFileExA(take_over.own_path.c_str(), take_over.target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

static uint32_t tick_now(void*)
{
    return GetTickCount();
}

static void pause_for(void*, uint32_t ms)
{
    Sleep(ms);
}

static void start_named_launcher(void* context, bool replaced)
{
    const TakeOver& take_over = *static_cast<const TakeOver*>(context);
    std::string command = "\"" + take_over.target + "\" " + not_replaced_marker;
    std::vector<char> command_line(command.begin(), command.end());
    command_line.push_back('\0');
    start_program(take_over.folder, take_over.target, replaced ? NULL : command_line.data());
}

static bool is_not_replaced_marker(const char* arguments)
{
    const char* at = arguments;
    while (*at == ' ' || *at == '\t')
        ++at;
    size_t length = strlen(at);
    while (length > 0 && (at[length - 1] == ' ' || at[length - 1] == '\t'))
        --length;
    return length == strlen(not_replaced_marker) && strncmp(at, not_replaced_marker, length) == 0;
}

LauncherStart start_launcher_process(const std::string& folder, const std::string& own_file, const char* arguments)
{
    std::string name;
    if (cache_key(own_file) != cache_key(new_launcher_name) || !read_handed_name(arguments, name))
        return is_not_replaced_marker(arguments) ? LauncherStart::not_replaced : LauncherStart::ordinary;
    TakeOver take_over = {folder, folder + own_file, folder + name};
    run_take_over(TakeOverSteps{&take_over, take_name, tick_now, pause_for, start_named_launcher});
    return LauncherStart::take_over;
}
