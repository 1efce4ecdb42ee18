// The studio's signature on an update list: checked before anything of the list is believed
// against the keys the game folder trusts (kept moving by the key rotation in "launcher.keys"),
// with the release number that keeps a game folder from being taken back to an older release.
#pragma once

#include <string>

#include "update_list/list_keys.h"
#include "update_list/update_list.h"

// The name of the file beside the cache that holds the highest release number this game folder
// has accepted.
extern const char accepted_release_file_name[];
// The name of the file beside it that holds the working and next keys once a list moved them on.
extern const char key_record_file_name[];

// How a signed list stands against the keys and releases this game folder has accepted.
enum class ReleaseVerdict {
    accepted,       // the list may be applied; a newer release or a key change is recorded
    refused,        // not a list to apply (signed with no trusted key, an older release, ...)
    record_broken,  // launcher.release is there but can't be read as a number: nothing is believed
    record_failed,  // launcher.release could not be written: nothing is applied
    keys_broken,    // launcher.keys is there but can't be read as a key record: nothing is believed
    keys_failed,    // launcher.keys could not be written: nothing is applied
};

// The record a verdict other than accepted or refused is about.
const char* release_record_name(ReleaseVerdict verdict);

// What the signature check found, for accept_signed_release.
struct ListSigning {
    ListKeys keys;       // what the game folder trusted before this list
    std::string signer;  // the trusted key whose signature holds
};

// Checks the fetched `text` against the keys `folder` trusts: `installed_key` (launcher.ini's
// PublicKey, 64 bytes X||Y) as its launcher.keys moved it on, and `backup_key` (empty: none).
// Accepted with `text` cut to the signed bytes and `signing` filled; refused with the reason the
// working key gives and `text` untouched; keys_broken when launcher.keys can't be read.
ReleaseVerdict check_list_signature(const std::string& folder, const std::string& installed_key,
                                    const std::string& backup_key, std::string& text, ListSigning& signing,
                                    std::string& error_text);

// Once `list` was parsed from the signed bytes in `text`: gives every entry its SHA-256, refuses
// a release older than the floor, the higher of `min_sequence` (what the game was installed
// with) and the number in `folder`'s launcher.release (none there: 0), and reads the NextKey line.
// A change of the keys (`signing` against the keys after this list) and a newer release are
// recorded before anything of the list is applied, each whole or not at all. Anything but
// accepted comes with the reason.
ReleaseVerdict accept_signed_release(const std::string& folder, uint64_t min_sequence, const std::string& text,
                                     const std::string& installed_key, const ListSigning& signing,
                                     UpdateList& list, std::string& error_text);
