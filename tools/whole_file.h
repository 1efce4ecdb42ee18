// Files make_manifest reads or writes whole: the news and key files it reads, and the list and the
// block maps it publishes, which replace their old versions only once complete.
#pragma once

#include <string>

// Reads the whole file `name` into `bytes`. False with the reason ("<name>: can't open", "<name>:
// read error").
bool read_whole_file(const std::string& name, std::string& bytes, std::string& error_text);

// Writes `bytes` to "<name>.tmp" and renames it over `name`, so that a server never serves half a
// file. False with the reason ("<name>: can't write"), the temporary file removed.
bool replace_whole_file(const std::string& name, const std::string& bytes, std::string& error_text);
