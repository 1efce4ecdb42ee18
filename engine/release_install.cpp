// The release's arrival as one unit: the free-space check that comes before any request, the
// check for held files, and the switch with its own status line and bar.
#include "engine/release_install.h"

#include <windows.h>

#include "engine/pass_report.h"
#include "game_folder/release_switch.h"
#include "platform/disk_space.h"
#include "transfer/size_text.h"
#include "update_list/local_path.h"

static const uint64_t progress_scale = 1000;

static void show_switched(void* context, size_t done, size_t count)
{
    const PassObserver& observer = *static_cast<const PassObserver*>(context);
    show_status(observer, "Installing the update... %d / %d", int(done), int(count));
    show_progress(observer, count == 0 ? unsigned(progress_scale) : unsigned(uint64_t(done) * progress_scale / count));
}

static bool fail_switch(const PassObserver& observer, const std::string& path, const std::string& error_text)
{
    show_status(observer, "The update could not be installed: %s", error_text.c_str());
    show_detail(observer, "%s", path.c_str());
    return false;
}

static void tell_installed_program(const std::string& folder, const PassObserver& observer)
{
    std::string program;
    if (read_installed_program(folder, program))
        observer.game_program(observer.context, program.c_str());
}

bool finish_interrupted_install(const std::string& folder, const PassObserver& observer)
{
    SwitchSink sink = {show_switched, const_cast<PassObserver*>(&observer)};
    std::string failed_path;
    std::string error_text;
    if (!finish_pending_switch(folder, sink, failed_path, error_text))
        return fail_switch(observer, failed_path, error_text);
    tell_installed_program(folder, observer);
    return true;
}

static uint64_t size_of_file(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return 0;
    return (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool has_room_for_parts(const std::string& folder, const PassObserver& observer, const LocalCheck& check)
{
    uint64_t needed = 0;
    for (const UpdateEntry& entry : check.download_list) {
        uint64_t kept = size_of_file(join_local_path(folder, entry.path) + ".part");
        needed += kept < entry.size ? entry.size - kept : 0;
    }
    uint64_t short_by = bytes_short_of_room(folder, needed);
    if (short_by == 0)
        return true;
    show_status(observer, "Not enough disk space: the update needs %s more.", format_size(short_by).c_str());
    show_detail(observer, "You can still START with the files you have, or try again.");
    return false;
}

// A list without Run= leaves the program of the release installed before. The files the installed
// release listed and this one lacks go with its deletions, in the same record, so that a cut
// switch finishes them too.
static ReleaseSwitch switch_of(const std::string& folder, const std::string& launcher_file, const UpdateList& list,
                               const LocalCheck& check)
{
    ReleaseSwitch change;
    for (const UpdateEntry& entry : check.download_list)
        change.moves.push_back(entry.path);
    change.deletes = list.deletes;
    change.program = list.run;
    if (change.program.empty())
        read_installed_program(folder, change.program);
    for (const UpdateEntry& entry : list.files)
        (entry.keep ? change.kept : change.files).push_back(entry.path);
    add_dropped_files(folder, launcher_file, change);
    return change;
}

bool install_release(const std::string& folder, const std::string& launcher_file, const PassObserver& observer,
                     const UpdateList& list, const LocalCheck& check, HashCache& cache)
{
    ReleaseSwitch change = switch_of(folder, launcher_file, list, check);
    std::string failed_path;
    std::string error_text;
    if (!may_switch(folder, change, failed_path, error_text))
        return fail_switch(observer, failed_path, error_text);
    SwitchSink sink = {show_switched, const_cast<PassObserver*>(&observer)};
    if (!run_switch(folder, change, sink, failed_path, error_text))
        return fail_switch(observer, failed_path, error_text);
    for (const UpdateEntry& entry : check.download_list)
        record_download(folder, entry, cache);
    save_hash_cache(folder, cache);
    end_switch(folder);
    tell_installed_program(folder, observer);
    return true;
}
