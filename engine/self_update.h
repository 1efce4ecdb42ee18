// The replacement of the running launcher by the one the update list carries.
#pragma once

#include <string>

#include "engine/pass_observer.h"
#include "transfer/download.h"
#include "update_list/local_check.h"

// Runs when check.self_index >= 0; `launcher_file` is the running launcher's name in the game
// folder. True when a new launcher was started: the pass is over and must end as restarted. False
// when it gave up: the launcher's entry has left check.download_list and its size
// check.download_total, and the pass goes on.
bool replace_launcher(const DownloadSource& source, const std::string& launcher_file,
                      const PassObserver& observer, LocalCheck& check);

// Deletes what earlier replacements left in `folder`: "Launcher.old.exe" (read-only or not; it
// stays while the old launcher still runs, and a later call tries again) and a
// "Launcher.new.exe" that never took the launcher's place. With `with_part`, also the part of a
// new launcher whose download broke off: a pass that found the launcher current needs it no more.
void remove_launcher_leftovers(const std::string& folder, bool with_part);
