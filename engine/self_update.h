// The replacement of the running launcher by the one the update list carries.
#pragma once

#include "update_list/local_check.h"

// Runs when check.self_index >= 0. True when a new launcher was started and the window told to
// close: the pass is over. False when it gave up: the launcher's entry has left
// check.download_list and its size check.download_total, and the pass goes on.
bool replace_launcher(LocalCheck& check);

// Deletes "Launcher.old.exe", left by an earlier swap, read-only or not. Fails silently while the
// old launcher still runs; a later pass tries again.
void remove_old_launcher();
