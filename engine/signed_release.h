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

// Once `list` was parsed from the signed bytes in `text`: gives every entry its SHA-256 and
// refuses a release older than the highest this game folder (`folder`) has accepted. True when
// the list may be applied; the release is then recorded as accepted, whole or not at all. False
// with the reason, and nothing recorded.
bool accept_signed_release(const std::string& folder, const std::string& text, UpdateList& list,
                           std::string& error_text);
