// The launcher's own rules for the paths and the address it starts from: where its folder is,
// how a relative name from the update list lands in it, and the form of the server address.
#pragma once

#include <string>

// Splits the program's full path after its last backslash: `dir` keeps that backslash, `file`
// is the rest. A path without a backslash gives an empty `dir` and the whole path as `file`.
void split_program_path(const std::string& full_path, std::string& dir, std::string& file);

// `dir` followed by `relative`, with every "/" of the result turned into "\".
std::string join_local_path(const std::string& dir, const std::string& relative);

// The configured server address as the update pass uses it: a non-empty address always ends
// in "/", so that file names can be appended directly.
std::string base_url_from_setting(const std::string& setting);
