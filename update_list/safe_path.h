// The rule every path from the update list must pass before it touches the disk.
#pragma once

#include <cstddef>

// True for a relative path of 1..240 bytes that cannot leave the game folder and names
// no drive, stream, or refused byte.
bool is_safe_relative_path(const char* path, size_t length);
