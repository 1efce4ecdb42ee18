// Where a relative name from the update list lands on the player's disk.
#pragma once

#include <string>

// `folder` (the game folder, ending in "\") followed by `relative`, with every "/" of the result
// turned into "\". Nothing else changes: the name has passed the path rule before it gets here.
std::string join_local_path(const std::string& folder, const std::string& relative);
