// Small files the launcher keeps for itself (the digest cache), replaced whole or not at all.
#pragma once

#include <string>

// Writes `content` to `path` + ".tmp", flushes it to the disk, then moves it over `path` with
// the move itself written through. A cut at any moment leaves `path` either as it was or as
// `content`, never torn. False when any step failed; `path` is then as it was.
bool replace_file_durably(const std::string& path, const std::string& content);
