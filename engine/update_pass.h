// One update pass: fetch the update list, apply it, check the game folder, fetch what is missing
// or different, and replace the launcher itself when the list carries a new one.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "engine/pass_observer.h"

// Everything a pass needs to know, handed down once when it starts.
struct PassSettings {
    std::string folder;           // the game folder, ends in "\"
    std::string launcher_file;    // the running launcher's file name in that folder
    std::string base_url;         // the update server's address, ends in "/"
    int connections = 1;          // downloads at once, 1..8
    // 64 bytes X||Y of launcher.ini's PublicKey, the first of the keys a list must be signed
    // with (launcher.keys moves them on); empty: unsigned lists.
    std::string public_key = {};
    std::string backup_key = {};  // 64 bytes X||Y of the studio's offline key; empty: none
    uint64_t min_sequence = 0;    // the oldest signed release this game folder may take
    // False for the first pass of a launcher started again by a new launcher that could not take
    // its name: that pass fails rather than hand over once more.
    bool may_replace_launcher = true;
};

// A pass to run on a thread of its own; update_worker takes it over and deletes it.
struct PassJob {
    PassSettings settings;
    PassObserver observer;
};

// Runs one pass on the calling thread; `observer` hears it from its first text to its end.
void run_update_pass(const PassSettings& settings, const PassObserver& observer);

// Thread entry of one pass: `job` is a PassJob made with new. Always returns 0.
DWORD WINAPI update_worker(LPVOID job);
