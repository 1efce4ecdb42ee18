// Downloading one listed file beside its place, verifying it, and moving it over the old one.
#pragma once

#include <cstdint>
#include <string>

#include "update_list/update_list.h"

// Fetches `entry` from the update server into `target` (a full path below program_dir), checks
// its size and MD5 digest, and only then replaces `target`. `done_bytes` counts the bytes of a
// batch of `total_bytes`; it grows by the entry's size on success and is back at its start value
// on failure, with the reason in `error_text`. No ".part" file outlives the call.
bool download_file(const UpdateEntry& entry, const std::string& target, uint64_t& done_bytes,
                   uint64_t total_bytes, std::string& error_text);
