// Judging a digest text of the update list.
#include "update_list/hex_text.h"

// Judges every byte without a branch per byte: a digest's digits and letters come in random
// order, and a branch on each was mispredicted so often that it took most of the time of reading
// a signed list's digests.
bool is_lower_hex_text(const char* text, size_t length)
{
    unsigned all_hex = 1;
    for (size_t i = 0; i < length; ++i) {
        unsigned byte = static_cast<unsigned char>(text[i]);
        all_hex &= static_cast<unsigned>(byte - '0' < 10u) | static_cast<unsigned>(byte - 'a' < 6u);
    }
    return all_hex != 0;
}
