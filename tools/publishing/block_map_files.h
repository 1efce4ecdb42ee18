// The block maps make_manifest keeps in the release folder's launcher.maps/: storing a map without
// touching an identical one, and removing the maps a new list no longer names.
#pragma once

#include <set>
#include <string>
#include <vector>

// Stores `map` at `location` (block_map_location of the file's MD5) below `release_dir`, through a
// temporary file and a rename, making the folder when missing. A file there with the same bytes
// is left alone: its modification time stays, so tools that upload by time upload nothing.
// False with the reason.
bool store_block_map(const std::string& release_dir, const std::string& location, const std::string& map,
                     std::string& error_text);

// Removes each of `found` (release paths from the folder's walk) that is_block_map_file calls
// make_manifest's own and that `kept` (the locations the new list names) does not hold, letter
// case ignored as on a player's disk. False with the reason for the first that stays.
bool remove_stale_block_maps(const std::string& release_dir, const std::vector<std::string>& found,
                             const std::set<std::string>& kept, std::string& error_text);
