// UTF-8, the one encoding of every name and text the launcher reads or shows: which byte strings
// are well-formed, where a text may be cut, and UTF-16 files turned into it.
#pragma once

#include <cstddef>
#include <string>

// True when `text` is well-formed UTF-8; otherwise false with where and why ("byte 5: a sequence
// cut short"). Overlong forms, surrogates and code points above U+10FFFF are refused: Windows
// would show each as a replacement character, so two different names could become one.
bool check_utf8(const char* text, size_t size, std::string& error_text);
bool is_valid_utf8(const char* text, size_t size);

// How many bytes of `text` hold its first `characters` characters; a byte that begins no
// well-formed sequence counts as one character, so a cut never falls inside a sequence.
size_t utf8_prefix_size(const char* text, size_t size, size_t characters);

// The text of a UTF-16 little-endian byte string as UTF-8; a lone surrogate becomes U+FFFD and
// an odd last byte is dropped.
std::string utf8_from_utf16le(const char* bytes, size_t size);
