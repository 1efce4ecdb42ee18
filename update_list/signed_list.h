// The signed additions to the update list: the "Signature" line that closes a signed list, the
// "Sequence" number of the release, the "H|" lines that give every entry its SHA-256 and the
// "NextKey" a list may name for the key rotation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update_list/update_list.h"

// The size of an ECDSA P-256 signature r||s in the form CNG takes, and of a public key X||Y.
extern const size_t list_signature_length;
extern const size_t list_public_key_length;

// The sizes every check of a signature needs before it starts, with the same reasons in the
// launcher and in make_manifest: "the public key is not 64 bytes", "the signature is not 64 bytes".
bool list_signature_sizes_fit(const std::string& public_key_xy, const std::string& signature_rs,
                              std::string& error_text);

struct ListSignature {
    size_t signed_length;   // bytes signed: from the list's first byte up to its "Signature=" line
    std::string signature;  // the 64 bytes r||s decoded from that line
};

// Finds the first line that starts with "Signature=", which must be the list's last line: after
// it only line feeds and carriage returns. Works on the bytes as fetched, before anything in them
// is believed. False with the reason: "no signature", "the signature is not the last line", "a
// garbled signature line" (not base64 of exactly 64 bytes).
bool find_list_signature(const std::string& text, ListSignature& found, std::string& error_text);

// Reads the signed lines once the signature over them holds and parse_update_list has read the
// same bytes into `files`: `sequence` gets the "Sequence" value (0 when the list has none), and
// every entry gets the SHA-256 of the "H|" line naming its exact path bytes ("H|" lines for other
// paths are ignored). `signed_text` ends at its first NUL, as the parser reads it. False with the
// reason, the entries then partly filled: "a garbled Sequence line" (not only digits, past 64
// bits, or a second one), "no SHA-256 for <path>", "two SHA-256 lines for <path>" (that differ).
bool read_signed_lines(const std::string& signed_text, std::vector<UpdateEntry>& files, uint64_t& sequence,
                       std::string& error_text);

// Reads the "NextKey" line of the signed bytes (ending at their first NUL): the public key the
// studio will sign with next, in the form of launcher.ini's PublicKey. `next_key` gets its 64
// bytes X||Y, or is emptied when the list names none. False with "a garbled NextKey line" (not
// base64 of exactly 64 bytes, or a second one): a key that can't be read is never half-trusted.
bool read_next_key(const std::string& signed_text, std::string& next_key, std::string& error_text);
