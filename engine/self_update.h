// The replacement of the running launcher by the one the update list carries, from its download
// to the new launcher's start under the launcher's name: every step of it lives here.
#pragma once

#include <cstdint>
#include <string>

#include "engine/pass_observer.h"
#include "transfer/download.h"

// Downloads the new launcher `entry` beside the running one as "Launcher.new.exe" and starts it
// to take the launcher's name (`launcher_file`) over once this process has ended. True when it
// was started: the pass must end as restarted. False with the reason when the launcher could not
// be updated (it did not arrive verified, or did not start); the instance lock, given up for the
// start, is then taken back before this returns, and the pass goes on and ends as failed.
bool replace_launcher(const DownloadSource& source, const std::string& launcher_file,
                      const PassObserver& observer, const ListedFile& entry, std::string& error_text);

// The reason a pass gives when it must not replace the launcher because this process was started
// by a new launcher that could not take the launcher's name.
extern const char launcher_not_replaced_reason[];

// Deletes what earlier replacements left in `folder`: a "Launcher.new.exe" that never took the
// launcher's place, and "Launcher.old.exe", which launchers that moved themselves aside left
// (read-only or not). With `with_part`, also the part of a new launcher whose download broke off:
// a pass that found the launcher current needs it no more.
void remove_launcher_leftovers(const std::string& folder, bool with_part);

// How a process of the launcher was started, as far as its replacement goes.
enum class LauncherStart {
    ordinary,      // by the player, or by a new launcher that took the name over
    take_over,     // as "Launcher.new.exe" handed the launcher's name: it does only that, then ends
    not_replaced,  // by a new launcher that gave up waiting for the name: the old launcher again,
                   // whose first pass must not replace it, or the two would hand over for ever
};

// Tells how this process (`own_file` in `folder`, its command line after the program in
// `arguments`) was started, and with take_over, moves it over the launcher's name once the old
// launcher has let go of it and starts the launcher from there; the process then ends.
LauncherStart start_launcher_process(const std::string& folder, const std::string& own_file, const char* arguments);

// The steps of a take-over, so that its waiting can be judged apart from the platform: wine lets
// a file be moved over a running program, where Windows refuses until the program has ended.
struct TakeOverSteps {
    void* context;
    bool (*take_name)(void* context);     // moves the new launcher over the launcher's name
    uint32_t (*now_ms)(void* context);    // a millisecond clock
    void (*pause)(void* context, uint32_t ms);
    // Starts the launcher under its name: the new one when `replaced`, else the old one, told so.
    void (*start)(void* context, bool replaced);
};

// Tries to take the name every 100 ms for 30 s, then starts whichever launcher holds it.
void run_take_over(const TakeOverSteps& steps);
