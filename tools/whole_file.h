// Reading a small file whole: a news text, a key file, an update list.
#pragma once

#include <string>

// Reads the file's bytes into `text`. False with the reason, naming the file, when it can't be
// opened or read.
bool read_whole_file(const std::string& name, std::string& text, std::string& error_text);
