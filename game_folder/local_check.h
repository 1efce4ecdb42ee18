// The check of the listed files against the disk, and the digest cache file beside the launcher
// that spares re-reading unchanged files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update_list/hash_cache.h"
#include "update_list/update_list.h"

// What the check found: the entries to fetch, in list order, and where the launcher's own is.
struct LocalCheck {
    std::vector<UpdateEntry> download_list;  // copies of the entries missing or different on disk
    uint64_t download_total = 0;             // sum of their sizes in bytes
    int self_index = -1;                     // position of the launcher's own entry, -1 if none
};

// How the check tells its caller how far it has come: `checked` entries of `count`, before every
// sixteenth entry and in order.
struct CheckSink {
    void (*checked)(void* context, size_t checked, size_t count);
    void* context;  // the caller's, handed back with every call
};

// Adds the records of `folder` + "launcher.cache" to `cache`; a missing file adds nothing.
void load_hash_cache(const std::string& folder, HashCache& cache);

// Replaces `folder` + "launcher.cache" with `cache`, whole or not at all (through
// "launcher.cache.tmp"); a file that can't be written is ignored.
void save_hash_cache(const std::string& folder, const HashCache& cache);

// Compares every entry of `files` with the disk below `folder` (the game folder, ending in "\"),
// hashing where `cache` can't vouch for a file and recording what it hashed. An entry named like
// `launcher_file` in any letter case is the running launcher's. Up to `threads` files are read
// at once; the result, the cache and the reports are the same for any number.
void check_local_files(const std::string& folder, const std::string& launcher_file,
                       const std::vector<UpdateEntry>& files, HashCache& cache, int threads,
                       const CheckSink& progress, LocalCheck& result);

// Deletes the ".part" files (and their ".part.tag") that downloads of `files` left, in any letter
// case; the part files of names not listed stay.
void remove_part_files(const std::string& folder, const std::vector<UpdateEntry>& files);

// Stores the record of an entry that was just downloaded, verified and put in place.
void record_download(const std::string& folder, const UpdateEntry& entry, HashCache& cache);
