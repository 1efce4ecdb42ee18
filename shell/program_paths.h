// The launcher's own rules for where its folder is, the form of the server address and the
// number of connections.
#pragma once

#include <string>

// Splits the program's full path after its last backslash: `dir` keeps that backslash, `file`
// is the rest. A path without a backslash gives an empty `dir` and the whole path as `file`.
void split_program_path(const std::string& full_path, std::string& dir, std::string& file);

// The configured server address as the update pass uses it: a non-empty address always ends
// in "/", so that file names can be appended directly.
std::string base_url_from_setting(const std::string& setting);

// Downloads at once from the Connections setting: 4 when it is missing or not a number, and a
// number outside 1..8 taken as the nearest allowed.
int connections_from_setting(const std::string& setting);
