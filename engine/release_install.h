// The steps that make a release one unit on the player's disk: room for its parts before any
// request, and the switch that gives every verified part its name at once, finished by the next
// start when it was cut.
#pragma once

#include <string>

#include "engine/pass_observer.h"
#include "game_folder/local_check.h"
#include "update_list/hash_cache.h"
#include "update_list/update_list.h"

// Finishes a switch an earlier launcher left under way, showing its progress, and tells the
// observer the installed release's program. False, with the status shown, when a move failed
// again: nothing else may happen to the folder then.
bool finish_interrupted_install(const std::string& folder, const PassObserver& observer);

// True when the volume of `folder` has room for the parts of check.download_list (their full
// sizes, less what kept parts hold already); else shows how much more the update needs.
bool has_room_for_parts(const std::string& folder, const PassObserver& observer, const LocalCheck& check);

// Moves every verified part of check.download_list over its file and carries out `list`'s
// deletions and those of the plain files the installed release listed and `list` dropped (never
// `launcher_file`, the running launcher), once no target is held; records the moved files in
// `cache`, saves it, and tells the observer the release's program. False, with the status shown,
// when a target was held (nothing moved) or a move failed (the next try finishes the switch).
bool install_release(const std::string& folder, const std::string& launcher_file, const PassObserver& observer,
                     const UpdateList& list, const LocalCheck& check, HashCache& cache);
