// The digest texts of the update list: lower-case hexadecimal digits only.
#pragma once

#include <cstddef>

// True when all `length` bytes at `text` are 0-9 or a-f.
bool is_lower_hex_text(const char* text, size_t length);
