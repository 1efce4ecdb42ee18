// How the launcher reads "launcher.ini": its bytes in any of the encodings an editor saves it in,
// and the values of its one section.
#pragma once

#include <string>

// The file's text as UTF-8: a UTF-8 byte order mark is dropped, and a file that begins with the
// UTF-16 little-endian one (Notepad's "Unicode") is read as UTF-16. Other bytes are taken as they
// are.
std::string settings_text(const std::string& file_bytes);

// The value of `key` in `[section]` of `text`, as Windows' profile files have it: names in any
// ASCII letter case, blanks around names and values ignored, one pair of quotes around a value
// removed, lines beginning with ";" skipped; the first occurrence counts. Empty when absent.
std::string setting_value(const std::string& text, const char* section, const char* key);
