// The keys a game folder trusts for its signed update lists, how an accepted list moves them on
// (the key rotation), and the text of the record that keeps them between passes.
#pragma once

#include <string>
#include <vector>

// Every key is 64 bytes X||Y, or empty for none.
struct ListKeys {
    std::string current;  // the working key: launcher.ini's PublicKey until a list moves it on
    std::string next;     // the key the last accepted list named with its NextKey line
    std::string backup;   // launcher.ini's BackupKey, kept offline by the studio
};

// The keys a list may be signed with, in the order they are tried: current, next, backup.
// A key that is empty or equal to an earlier one is left out, so none is tried twice.
std::vector<std::string> trusted_keys(const ListKeys& keys);

// The keys once a list signed with `signer` (one of the trusted keys) that names `named_next`
// (empty: none) was accepted: the signer is the working key from then on and the key it names is
// the next; any other key but the backup is retired. A list that names its own signer names none.
ListKeys keys_after_list(const ListKeys& keys, const std::string& signer, const std::string& named_next);

// The record's text: "Installed=" with `installed` (launcher.ini's PublicKey, so that a record
// outlives no new install), "Current=" and, when there is one, "Next=", each in base64.
std::string format_key_record(const std::string& installed, const ListKeys& keys);

// Reads a record written by format_key_record (CR LF is fine). True with `keys.current` and
// `keys.next` set from it when it was written for `installed`, and left alone when it was
// written for another installed key. False for any other text.
bool read_key_record(const std::string& text, const std::string& installed, ListKeys& keys);
