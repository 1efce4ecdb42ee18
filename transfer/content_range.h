// What a server says a partial answer holds: the "Content-Range" of a 206.
#pragma once

#include <cstdint>

struct ContentRange {
    uint64_t first;  // position of the answer's first byte in the file
    uint64_t last;   // position of its last byte
    uint64_t total;  // the file's size
};

// Reads "bytes FIRST-LAST/TOTAL" (digits only, FIRST <= LAST < TOTAL). False for anything else,
// an unknown total ("*") included: bytes are spliced into a file only where all three are known.
bool parse_content_range(const char* text, ContentRange& range);
