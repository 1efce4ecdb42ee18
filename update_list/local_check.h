// The check of the listed files against the disk, and the digest cache file beside the launcher
// that spares re-reading unchanged files.
#pragma once

#include <cstdint>
#include <vector>

#include "update_list/hash_cache.h"
#include "update_list/update_list.h"

// What the check found: the entries to fetch, in list order, and where the launcher's own is.
struct LocalCheck {
    std::vector<UpdateEntry> download_list;  // copies of the entries missing or different on disk
    uint64_t download_total = 0;             // sum of their sizes in bytes
    int self_index = -1;                     // position of the launcher's own entry, -1 if none
};

// Adds the records of program_dir + "launcher.cache" to `cache`; a missing file adds nothing.
void load_hash_cache(HashCache& cache);

// Rewrites program_dir + "launcher.cache" from `cache`; a file that can't be written is ignored.
void save_hash_cache(const HashCache& cache);

// Compares every entry of `files` with the disk, hashing where `cache` can't vouch for a file and
// recording what it hashed; reports its progress on the status line and the progress bar.
void check_local_files(const std::vector<UpdateEntry>& files, HashCache& cache, LocalCheck& result);

// Stores the record of an entry that was just downloaded, verified and put in place.
void record_download(const UpdateEntry& entry, HashCache& cache);
