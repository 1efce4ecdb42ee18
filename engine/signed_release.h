// The studio's signature on an update list: checked before anything of the list is believed,
// with the release number that keeps a game folder from being taken back to an older release.
#pragma once

#include <string>

#include "update_list/update_list.h"

// The name of the file beside the cache that holds the highest release number this game folder
// has accepted.
extern const char accepted_release_file_name[];

// Checks the fetched `text` against `public_key` (64 bytes X||Y): the signature line, the
// signature over the bytes before it. True with `text` cut to those signed bytes; false with the
// reason and `text` untouched.
bool check_list_signature(const std::string& public_key, std::string& text,
                          std::string& error_text);

// How a signed list stands against the releases this game folder has accepted.
enum class ReleaseVerdict {
    accepted,       // the list may be applied; a newer release is recorded as accepted
    refused,        // not a list to apply (no SHA-256 for an entry, an older release, ...)
    record_broken,  // launcher.release is there but can't be read as a number: nothing is believed
    record_failed,  // launcher.release could not be written: nothing is applied
};

// Once `list` was parsed from the signed bytes in `text`: gives every entry its SHA-256 and
// refuses a release older than the floor, the higher of `min_sequence` (what the game was
// installed with) and the number in `folder`'s launcher.release (none there: 0). A newer release
// is recorded before anything of it is applied, whole or not at all. Anything but accepted comes
// with the reason, and nothing recorded.
ReleaseVerdict accept_signed_release(const std::string& folder, uint64_t min_sequence, const std::string& text,
                                     UpdateList& list, std::string& error_text);
