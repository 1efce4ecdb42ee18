// The replacement of the running launcher by the one the update list carries.
#pragma once

#include <string>

#include "engine/pass_observer.h"
#include "game_folder/local_check.h"
#include "transfer/download.h"

// Runs when check.self_index >= 0; `launcher_file` is the running launcher's name in the game
// folder. Downloads the new launcher as "Launcher.new.exe" and starts it to take that name over.
// True when it was started: the pass is over and must end as restarted. False when it gave up:
// the launcher's entry has left check.download_list and its size check.download_total, and the
// pass goes on.
bool replace_launcher(const DownloadSource& source, const std::string& launcher_file,
                      const PassObserver& observer, LocalCheck& check);

// Deletes what earlier replacements left in `folder`: a "Launcher.new.exe" that never took the
// launcher's place, and "Launcher.old.exe", which launchers that moved themselves aside left
// (read-only or not). With `with_part`, also the part of a new launcher whose download broke off:
// a pass that found the launcher current needs it no more.
void remove_launcher_leftovers(const std::string& folder, bool with_part);

// At start-up, before anything else: when this process runs as "Launcher.new.exe" in `folder` and
// `arguments` (its command line after the program) hand it the launcher's file name in quotes,
// it moves itself over that name once the old launcher has let go of it, starts the launcher
// from there and returns true: this process then ends, without a window. False for any other
// start, which goes on as usual.
bool take_over_launcher_name(const std::string& folder, const std::string& own_file,
                             const char* arguments);
